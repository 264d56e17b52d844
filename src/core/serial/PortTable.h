// The system's table of serial ports, in place of the registry's SERIALCOMM key: one entry per
// port with the COM name the port list shows, its device and a description.
#pragma once

#include <string>
#include <vector>

namespace orlo {

struct PortInfo {
    std::string valueName;    // the driver's device name (the registry value name)
    std::string comName;      // the value data: "COM3", "COM12"
    std::string devicePath;   // e.g. /dev/ttyUSB0
    std::string description;  // e.g. "USB 0403:6001 FT232R USB UART"
};

class IPortTable {
public:
    virtual ~IPortTable() = default;
    // False when the table cannot be read at all (the key cannot be opened).
    virtual bool Open() = 0;
    // Ports in the system's order.
    virtual std::vector<PortInfo> Enumerate() = 0;
    // Device path of a COM name ("COM3"), or empty when unknown.
    virtual std::string Resolve(const std::string& comName) = 0;
};

}  // namespace orlo
