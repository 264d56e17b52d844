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
    std::string description;  // e.g. "FT232R USB UART (FTDI) 0403:6001 serial A50285BI"
    // The device behind devicePath, the same for every path that leads to it (a symlink, a
    // relative spelling): two entries with one key are one port. Empty when unknown.
    std::string deviceKey;

    // What the system tells of the port beyond its name, where it knows it (empty otherwise).
    std::string byId;          // a stable link by the adapter's identity (/dev/serial/by-id/...)
    std::string byPath;        // a stable link by the socket it is plugged into
    std::string vendorId;      // USB vendor and product ids, four hex digits each
    std::string productId;
    std::string manufacturer;  // USB names, as the adapter reports them
    std::string product;
    std::string serialNumber;  // the adapter's USB serial number
    std::string driver;        // the kernel driver serving the port (ftdi_sio, cdc_acm, ...)
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
