// The table of serial ports on Linux, from udev's tty devices each time the list is asked for,
// plus extra device paths (a simulated device's pseudo-terminal) from the environment or the
// caller.
//
// COM numbers, fixed by the kernel's name of a port so that a port keeps its name while it
// stays plugged in (the kernel keeps ttyUSBn / ttyACMn for as long as the device is there):
//   ttyS0 .. ttyS8          -> COM1 .. COM9    (on-board UARTs that really exist)
//   ttyUSB0 .. ttyUSB29     -> COM10 .. COM39  (USB serial converters)
//   ttyACM0 .. ttyACM29     -> COM40 .. COM69  (USB modem-class devices)
//   other real UARTs        -> COM70 .. COM79  (ttyS9 and up, ttyAMA*, ...; sorted by name)
//   extra paths             -> COM80 .. COM99  (ORLO_EXTRA_PORTS in order, then AddExtraPath)
// No name ever has more than two digits: a port that does not fit its range is listed without
// a COM name (after the named ones), and a gang or station names it by its path.
// An extra path's number is its place in the list of extra paths, so one that is missing, or
// leads to a port listed already, leaves the names of the others as they are.
// Phantom UARTs (a ttyS entry the kernel reserves without hardware behind it: port type 0)
// are left out, and so is every tty without a driver-bound device (consoles, pseudo-terminals)
// and every entry whose device node does not exist.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "posix/UdevPorts.h"
#include "serial/PortTable.h"

namespace orlo {

class LinuxPortTable : public IPortTable {
  public:
    // Reads an environment variable; empty when it is not set.
    using EnvReader = std::function<std::string(const std::string&)>;
    // The system's tty devices; tests hand in recorded ones.
    using TtySource = std::function<std::vector<TtyRecord>()>;

    static constexpr const char* kExtraPortsVariable = "ORLO_EXTRA_PORTS";

    // `env` reads the environment (the process environment when empty); `ttys` gives the tty
    // devices (udev's, through ScanTtys, when empty).
    explicit LinuxPortTable(EnvReader env = {}, TtySource ttys = {});

    // A source of no tty devices at all: only extra paths are listed.
    static std::vector<TtyRecord> NoTtys() { return {}; }

    // False only when the system has no tty class to ask and no extra path is given.
    bool Open() override;
    std::vector<PortInfo> Enumerate() override;
    // Accepts "COM12" and the device-namespace form "\\.\COM12".
    std::string Resolve(const std::string& comName) override;

    // Adds a device path to the list (for example the command line's --port PATH). A path that
    // is already listed is not added twice.
    void AddExtraPath(const std::string& path);

    // The device a path leads to, the same for every spelling of it: a character device by its
    // device number ("c:188:0"), any other file by its file system and inode. Empty when the
    // path leads nowhere.
    static std::string DeviceKey(const std::string& path);

  private:
    struct Candidate {
        int comNumber;
        PortInfo info;
    };
    struct ExtraPath {
        std::string path;
        bool fromEnvironment;
    };
    std::vector<Candidate> SystemPorts() const;
    std::vector<ExtraPath> ExtraPaths() const;

    EnvReader m_env;
    bool m_systemTtys;  // the tty devices are udev's (set before m_ttys takes the source)
    TtySource m_ttys;
    mutable std::mutex m_mutex;  // guards m_added
    std::vector<std::string> m_added;
};

}  // namespace orlo
