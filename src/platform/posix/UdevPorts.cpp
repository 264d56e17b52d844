#include "posix/UdevPorts.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <system_error>

namespace orlo {

namespace fs = std::filesystem;

namespace {

std::string Get(const std::map<std::string, std::string>& m, const std::string& key) {
    const auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// A name the adapter or udev gives, unless it only repeats the id ("1a86" for a maker that
// reports no name).
std::string NameOrEmpty(const std::string& name, const std::string& id) {
    const std::string trimmed = Trim(name);
    return trimmed == id ? std::string() : trimmed;
}

std::string FirstOf(std::initializer_list<std::string> candidates) {
    for (const std::string& c : candidates)
        if (!c.empty()) return c;
    return {};
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string Text(const char* s) {
    return s ? std::string(s) : std::string();
}

std::map<std::string, std::string> Properties(udev_device* dev) {
    std::map<std::string, std::string> props;
    for (udev_list_entry* e = udev_device_get_properties_list_entry(dev); e;
         e = udev_list_entry_get_next(e))
        props[Text(udev_list_entry_get_name(e))] = Text(udev_list_entry_get_value(e));
    return props;
}

// The kernel's UART type of a port that does not publish it, asked through the driver
// without waiting for a carrier; empty when the driver does not say.
std::string ProbeUartType(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    serial_struct info{};
    const bool known = ::ioctl(fd, TIOCGSERIAL, &info) == 0;
    ::close(fd);
    return known ? std::to_string(info.type) : std::string();
}

// Links in the stable-name folders that lead to `node`, for systems without udev's database.
std::vector<std::string> StableLinks(const std::string& node) {
    std::vector<std::string> links;
    struct stat target {};
    if (::stat(node.c_str(), &target) != 0) return links;
    for (const char* folder : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            struct stat st {};
            if (::stat(entry.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == target.st_rdev)
                links.push_back(entry.path().string());
        }
    }
    return links;
}

}  // namespace

std::string DecodeUdevText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

void DescribeTty(const TtyRecord& record, PortInfo* port) {
    const auto& p = record.properties;
    const auto& usb = record.usb;
    port->vendorId = Lower(FirstOf({Get(p, "ID_VENDOR_ID"), Get(usb, "idVendor")}));
    port->productId = Lower(FirstOf({Get(p, "ID_MODEL_ID"), Get(usb, "idProduct")}));
    const bool onUsb = !port->vendorId.empty() || Get(p, "ID_BUS") == "usb";
    if (onUsb) {
        port->manufacturer =
            FirstOf({NameOrEmpty(Get(usb, "manufacturer"), port->vendorId),
                     NameOrEmpty(DecodeUdevText(Get(p, "ID_VENDOR_ENC")), port->vendorId),
                     Trim(Get(p, "ID_VENDOR_FROM_DATABASE"))});
        port->product =
            FirstOf({NameOrEmpty(Get(usb, "product"), port->productId),
                     NameOrEmpty(DecodeUdevText(Get(p, "ID_MODEL_ENC")), port->productId),
                     Trim(Get(p, "ID_MODEL_FROM_DATABASE"))});
        port->serialNumber = Trim(FirstOf({Get(p, "ID_SERIAL_SHORT"), Get(usb, "serial")}));
    }
    port->driver = FirstOf({Get(p, "ID_USB_DRIVER"), record.driver});

    std::vector<std::string> links;
    std::istringstream devlinks(Get(p, "DEVLINKS"));
    for (std::string link; devlinks >> link;) links.push_back(link);
    links.insert(links.end(), record.links.begin(), record.links.end());
    for (const std::string& link : links) {
        if (port->byId.empty() && link.rfind("/dev/serial/by-id/", 0) == 0) port->byId = link;
        if (port->byPath.empty() && link.rfind("/dev/serial/by-path/", 0) == 0) port->byPath = link;
    }

    std::string text;
    if (onUsb) {
        text = port->product.empty() ? "USB serial port" : port->product;
        if (!port->manufacturer.empty()) text += " (" + port->manufacturer + ")";
        if (!port->vendorId.empty()) text += ", USB " + port->vendorId + ":" + port->productId;
        if (!port->serialNumber.empty()) text += ", serial " + port->serialNumber;
    } else {
        text = "on-board serial port";
    }
    if (!port->driver.empty()) text += ", " + port->driver;
    port->description = text;
}

// The devices of the tty class that are not virtual, in the order of their place in the system
// (udev's own order). Virtual ttys (consoles, ptmx) have no device a driver is bound to, so
// they are never ports; udev's enumeration would look every one of them up, which took most of
// the time of a short run, so the class is read here and only the others are looked up.
std::vector<std::string> TtySysPaths() {
    std::vector<std::string> paths;
    const fs::path classDir = "/sys/class/tty";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(classDir, ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry.path(), linkError);
        if (linkError) {
            paths.push_back(entry.path().string());  // not a link: let udev tell
            continue;
        }
        const std::string device = (classDir / target).lexically_normal().string();
        if (device.rfind("/sys/devices/virtual/", 0) != 0) paths.push_back(device);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<TtyRecord> ScanTtys() {
    std::vector<TtyRecord> records;
    UdevPtr<udev> u(udev_new());
    if (!u) return records;
    for (const std::string& syspath : TtySysPaths()) {
        UdevPtr<udev_device> dev(udev_device_new_from_syspath(u.get(), syspath.c_str()));
        if (!dev) continue;
        TtyRecord r;
        r.kernelName = Text(udev_device_get_sysname(dev.get()));
        r.devNode = Text(udev_device_get_devnode(dev.get()));
        if (r.devNode.empty()) r.devNode = "/dev/" + r.kernelName;
        // Parents are owned by the child: no unref.
        udev_device* parent = udev_device_get_parent(dev.get());
        if (parent != nullptr) r.driver = Text(udev_device_get_driver(parent));
        // Newer kernels put serial-core "port" and "ctrl" devices between a UART and the
        // device it belongs to: that device's driver is the one that says what the port is.
        while ((r.driver == "port" || r.driver == "ctrl") && parent != nullptr) {
            parent = udev_device_get_parent(parent);
            if (parent != nullptr && udev_device_get_driver(parent) != nullptr)
                r.driver = Text(udev_device_get_driver(parent));
        }
        if (r.driver.empty()) {
            records.push_back(std::move(r));  // a console or a pseudo-terminal: no port
            continue;
        }
        r.uartType = Trim(Text(udev_device_get_sysattr_value(dev.get(), "type")));
        if (r.uartType.empty() && r.kernelName.rfind("ttyUSB", 0) != 0 &&
            r.kernelName.rfind("ttyACM", 0) != 0)
            r.uartType = ProbeUartType(r.devNode);
        r.properties = Properties(dev.get());
        if (udev_device* usb =
                udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device")) {
            for (const char* attr : {"idVendor", "idProduct", "manufacturer", "product", "serial"})
                if (const char* v = udev_device_get_sysattr_value(usb, attr)) r.usb[attr] = Trim(v);
        }
        if (r.properties.find("DEVLINKS") == r.properties.end()) r.links = StableLinks(r.devNode);
        records.push_back(std::move(r));
    }
    return records;
}

std::map<std::string, std::string> TtyProperties(const std::string& devNode) {
    struct stat st {};
    if (::stat(devNode.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
    UdevPtr<udev> u(udev_new());
    if (!u) return {};
    UdevPtr<udev_device> dev(udev_device_new_from_devnum(u.get(), 'c', st.st_rdev));
    return dev ? Properties(dev.get()) : std::map<std::string, std::string>();
}

}  // namespace orlo
