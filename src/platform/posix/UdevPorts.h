// The serial ports udev knows: one record per tty device as the system describes it, and the
// mapping of such a record to what the port list tells of the port. The mapping is a pure
// function, so it is tested on the property sets real adapters report; only ScanTtys talks to
// the system.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "serial/PortTable.h"

namespace orlo {

struct TtyRecord {
    std::string kernelName;  // ttyUSB0
    std::string devNode;     // /dev/ttyUSB0
    std::string driver;      // the driver bound to the port's device; empty: none (a console)
    std::string uartType;    // the kernel's UART type of the port ("0": no hardware), if known
    // udev's properties of the tty device (ID_VENDOR_ID, ID_SERIAL_SHORT, DEVLINKS, ...); with
    // no udev database only the kernel's own (DEVNAME, MAJOR, MINOR).
    std::map<std::string, std::string> properties;
    // Attributes of the USB device the port belongs to (idVendor, idProduct, manufacturer,
    // product, serial), read from sysfs; empty for a port that is not on USB.
    std::map<std::string, std::string> usb;
    std::vector<std::string> links;  // links to the node found beside udev's (/dev/serial/...)
};

// Fills the USB identity, names, serial number, driver, stable links and the one-line
// description of `port` from `record`; the names, path and COM name are left as they are.
// udev's properties come first, the USB device's attributes where udev has none, and the
// hardware database's names where the adapter reports none.
void DescribeTty(const TtyRecord& record, PortInfo* port);

// "FT232R\x20USB\x20UART" -> "FT232R USB UART": udev's encoding of a name.
std::string DecodeUdevText(const std::string& text);

// Every tty device of the system but the virtual ones (consoles, ptmx: never a port), through
// libudev. Ports without a bound driver are kept (the table leaves them out); a port whose UART
// type the kernel does not publish is asked through the driver.
std::vector<TtyRecord> ScanTtys();

// udev's properties of the tty device at `devNode` (any path that leads to it); empty when udev
// does not know it.
std::map<std::string, std::string> TtyProperties(const std::string& devNode);

}  // namespace orlo
