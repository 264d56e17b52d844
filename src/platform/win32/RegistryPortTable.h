// The table of serial ports on Windows: the values under HKEY_LOCAL_MACHINE
// "HARDWARE\DEVICEMAP\SERIALCOMM", read each time the list is asked for. Each value's name is
// the driver's device name ("\Device\Serial0"), its data the port's name ("COM3").
//
// The key is opened with read access only, which every user has: the list works without
// administrator rights.
//
// Ports named by the caller (the command line's --port COM7) are listed after the registry's
// own when the registry does not list them, so a port the system has but does not list (a
// driver that leaves the key alone, Wine's extra dosdevices links) can still be chosen and
// opened; Resolve gives every COM name its device path, listed or not.
#pragma once

#include "win32/WinApi.h"

#include <mutex>
#include <string>
#include <vector>

#include "serial/PortTable.h"

namespace orlo {

class RegistryPortTable : public IPortTable {
  public:
    static constexpr const wchar_t* kSerialCommKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

    // `root` and `key` name the key to read; tests point them at a key of their own.
    explicit RegistryPortTable(HKEY root = HKEY_LOCAL_MACHINE, std::wstring key = kSerialCommKey);

    // True when the key can be opened for reading, or when ports were named.
    bool Open() override;
    // The registry's ports in the order it enumerates them, then the named ports it lacks.
    // A value whose data is not a text, or does not fit 255 bytes, gives no entry.
    std::vector<PortInfo> Enumerate() override;
    // "COM12" or "\\.\COM12" (any letter case) -> "\\.\COM12", the device-namespace name that
    // opens every COM port; empty for anything that is not a COM name.
    std::string Resolve(const std::string& comName) override;

    // Lists a port the user named ("COM7" or "\\.\COM7"); false when it is not a COM name.
    bool AddNamedPort(const std::string& comName);

    // "COM" and digits for a COM name in either form ("com7" -> "COM7"), else empty.
    static std::string NormalizeComName(const std::string& name);

  private:
    HKEY m_root;
    std::wstring m_key;
    std::mutex m_mutex;  // guards m_named
    std::vector<std::string> m_named;
};

}  // namespace orlo
