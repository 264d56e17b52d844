// The mapping of udev's description of a tty to the port list's, fed with the property sets
// real adapters report (as `udevadm info --query=property` prints them) and, for systems
// without udev's database, with the USB device's attributes alone.
#include <gtest/gtest.h>

#include <sstream>

#include "posix/UdevPorts.h"

namespace orlo {
namespace {

std::map<std::string, std::string> Parse(const std::string& text) {
    std::map<std::string, std::string> m;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

const char* kFtdi = R"(DEVNAME=/dev/ttyUSB0
ID_BUS=usb
ID_VENDOR_ID=0403
ID_MODEL_ID=6001
ID_VENDOR=FTDI
ID_VENDOR_ENC=FTDI
ID_VENDOR_FROM_DATABASE=Future Technology Devices International, Ltd
ID_MODEL=FT232R_USB_UART
ID_MODEL_ENC=FT232R\x20USB\x20UART
ID_MODEL_FROM_DATABASE=FT232 Serial (UART) IC
ID_SERIAL=FTDI_FT232R_USB_UART_A50285BI
ID_SERIAL_SHORT=A50285BI
ID_USB_DRIVER=ftdi_sio
ID_USB_INTERFACE_NUM=00
ID_PATH=pci-0000:00:14.0-usb-0:2:1.0
DEVLINKS=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0)";

const char* kCp210x = R"(DEVNAME=/dev/ttyUSB1
ID_BUS=usb
ID_VENDOR_ID=10c4
ID_MODEL_ID=ea60
ID_VENDOR=Silicon_Labs
ID_VENDOR_ENC=Silicon\x20Labs
ID_MODEL=CP2102_USB_to_UART_Bridge_Controller
ID_MODEL_ENC=CP2102\x20USB\x20to\x20UART\x20Bridge\x20Controller
ID_SERIAL=Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001
ID_SERIAL_SHORT=0001
ID_USB_DRIVER=cp210x
DEVLINKS=/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0)";

// No maker name and no serial number: udev falls back to the ids, the database names them.
const char* kCh340 = R"(DEVNAME=/dev/ttyUSB2
ID_BUS=usb
ID_VENDOR_ID=1a86
ID_MODEL_ID=7523
ID_VENDOR=1a86
ID_VENDOR_ENC=1a86
ID_VENDOR_FROM_DATABASE=QinHeng Electronics
ID_MODEL=USB2.0-Serial
ID_MODEL_ENC=USB2.0-Serial
ID_MODEL_FROM_DATABASE=CH340 serial converter
ID_SERIAL=1a86_USB2.0-Serial
ID_USB_DRIVER=ch341
DEVLINKS=/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0 /dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0)";

const char* kCdcAcm = R"(DEVNAME=/dev/ttyACM0
ID_BUS=usb
ID_VENDOR_ID=0483
ID_MODEL_ID=5740
ID_VENDOR=STMicroelectronics
ID_VENDOR_ENC=STMicroelectronics
ID_MODEL=STM32_Virtual_ComPort
ID_MODEL_ENC=STM32\x20Virtual\x20ComPort
ID_SERIAL=STMicroelectronics_STM32_Virtual_ComPort_206B37A45848
ID_SERIAL_SHORT=206B37A45848
ID_USB_DRIVER=cdc_acm
ID_MM_CANDIDATE=1
DEVLINKS=/dev/serial/by-id/usb-STMicroelectronics_STM32_Virtual_ComPort_206B37A45848-if00)";

TEST(UdevPortsTest, DescribesRealAdaptersFromTheirProperties) {
    struct Case {
        const char* name;
        TtyRecord record;
        PortInfo expected;
    };
    auto record = [](const char* properties, std::string driver,
                     std::map<std::string, std::string> usb = {},
                     std::vector<std::string> links = {}) {
        TtyRecord r;
        r.properties = Parse(properties);
        r.driver = std::move(driver);
        r.usb = std::move(usb);
        r.links = std::move(links);
        return r;
    };
    auto info = [](std::string vid, std::string pid, std::string maker, std::string product,
                   std::string serial, std::string driver, std::string byId, std::string byPath,
                   std::string description) {
        PortInfo p;
        p.vendorId = vid, p.productId = pid, p.manufacturer = maker, p.product = product;
        p.serialNumber = serial, p.driver = driver, p.byId = byId, p.byPath = byPath;
        p.description = description;
        return p;
    };
    const std::vector<Case> cases = {
        {"FTDI", record(kFtdi, "ftdi_sio"),
         info("0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "ftdi_sio",
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
              "FT232R USB UART (FTDI), USB 0403:6001, serial A50285BI, ftdi_sio")},
        {"CP210x", record(kCp210x, "cp210x"),
         info("10c4", "ea60", "Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001",
              "cp210x",
              "/dev/serial/by-id/"
              "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0",
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
              "CP2102 USB to UART Bridge Controller (Silicon Labs), USB 10c4:ea60, serial 0001, "
              "cp210x")},
        {"CH340", record(kCh340, "ch341-uart"),
         info("1a86", "7523", "QinHeng Electronics", "USB2.0-Serial", "", "ch341",
              "/dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0",
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0",
              "USB2.0-Serial (QinHeng Electronics), USB 1a86:7523, ch341")},
        {"CDC-ACM", record(kCdcAcm, "cdc_acm"),
         info("0483", "5740", "STMicroelectronics", "STM32 Virtual ComPort", "206B37A45848",
              "cdc_acm",
              "/dev/serial/by-id/usb-STMicroelectronics_STM32_Virtual_ComPort_206B37A45848-if00",
              "",
              "STM32 Virtual ComPort (STMicroelectronics), USB 0483:5740, serial 206B37A45848, "
              "cdc_acm")},
        // No udev database: the kernel's properties, the USB device's attributes, links found
        // in /dev/serial.
        {"FTDI without udev's database",
         record("DEVNAME=/dev/ttyUSB0\nMAJOR=188\nMINOR=0", "ftdi_sio",
                {{"idVendor", "0403"},
                 {"idProduct", "6015"},
                 {"manufacturer", "FTDI"},
                 {"product", "FT231X USB UART"},
                 {"serial", "DN05JV1Q"}},
                {"/dev/serial/by-id/usb-FTDI_FT231X_USB_UART_DN05JV1Q-if00-port0"}),
         info("0403", "6015", "FTDI", "FT231X USB UART", "DN05JV1Q", "ftdi_sio",
              "/dev/serial/by-id/usb-FTDI_FT231X_USB_UART_DN05JV1Q-if00-port0", "",
              "FT231X USB UART (FTDI), USB 0403:6015, serial DN05JV1Q, ftdi_sio")},
        {"on-board UART", record("DEVNAME=/dev/ttyS0\nMAJOR=4\nMINOR=64", "serial8250"),
         info("", "", "", "", "", "serial8250", "", "", "on-board serial port, serial8250")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortInfo p;
        DescribeTty(c.record, &p);
        const PortInfo& e = c.expected;
        EXPECT_EQ(p.vendorId, e.vendorId);
        EXPECT_EQ(p.productId, e.productId);
        EXPECT_EQ(p.manufacturer, e.manufacturer);
        EXPECT_EQ(p.product, e.product);
        EXPECT_EQ(p.serialNumber, e.serialNumber);
        EXPECT_EQ(p.driver, e.driver);
        EXPECT_EQ(p.byId, e.byId);
        EXPECT_EQ(p.byPath, e.byPath);
        EXPECT_EQ(p.description, e.description);
    }
}

}  // namespace
}  // namespace orlo
