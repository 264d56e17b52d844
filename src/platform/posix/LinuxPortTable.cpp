#include "posix/LinuxPortTable.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace orlo {

namespace fs = std::filesystem;

namespace {

constexpr int kOnboardFirst = 1;  // ttyS0 -> COM1
constexpr int kOnboardCount = 9;  // ttyS0 .. ttyS8
constexpr int kUsbFirst = 10;     // ttyUSB0 -> COM10
constexpr int kAcmFirst = 40;     // ttyACM0 -> COM40
constexpr int kUsbCount = 30;     // ttyUSB / ttyACM numbers 0 .. 29
constexpr int kOtherFirst = 70;   // other real UARTs: COM70 ..
constexpr int kOtherCount = 10;   // .. COM79
constexpr int kExtraFirst = 80;   // extra paths: COM80 ..
constexpr int kExtraLast = 99;    // .. COM99

// The number after `prefix` in a kernel name ("ttyUSB3" -> 3), or -1.
int NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    int n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 9999) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// First line of a sysfs attribute, without surrounding blanks; empty when unreadable.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    const auto first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = line.find_last_not_of(" \t\r\n");
    return line.substr(first, last - first + 1);
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::string ComName(int number) {
    return "COM" + std::to_string(number);
}

std::string DefaultEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

}  // namespace

LinuxPortTable::LinuxPortTable(std::string sysfsRoot, std::string devDir, EnvReader env)
    : m_sysfsRoot(std::move(sysfsRoot)),
      m_devDir(std::move(devDir)),
      m_env(env ? std::move(env) : EnvReader(DefaultEnv)) {}

std::string LinuxPortTable::DeviceKey(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
    if (S_ISCHR(st.st_mode))
        return "c:" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    return "f:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool LinuxPortTable::Open() {
    std::error_code ec;
    return fs::is_directory(fs::path(m_sysfsRoot) / "class" / "tty", ec) || !ExtraPaths().empty();
}

void LinuxPortTable::AddExtraPath(const std::string& path) {
    if (path.empty()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_added.begin(), m_added.end(), path) == m_added.end()) m_added.push_back(path);
}

std::vector<LinuxPortTable::ExtraPath> LinuxPortTable::ExtraPaths() const {
    std::vector<ExtraPath> paths;
    const std::string list = m_env(kExtraPortsVariable);
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) paths.push_back({list.substr(start, end - start), true});
        start = end + 1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& added : m_added) paths.push_back({added, false});
    return paths;
}

std::string LinuxPortTable::UsbDescription(const std::string& deviceDir) const {
    std::error_code ec;
    const fs::path root = fs::canonical(m_sysfsRoot, ec);
    fs::path p = fs::canonical(deviceDir, ec);
    if (ec) return "USB serial port";
    // The USB device is the nearest ancestor of the port that carries idVendor and idProduct.
    while (p.has_relative_path() && p != root && p.string().rfind(root.string(), 0) == 0) {
        if (Exists(p / "idVendor") && Exists(p / "idProduct")) {
            std::string text =
                "USB " + ReadAttribute(p / "idVendor") + ":" + ReadAttribute(p / "idProduct");
            const std::string product = ReadAttribute(p / "product");
            if (!product.empty()) text += " " + product;
            return text;
        }
        p = p.parent_path();
    }
    return "USB serial port";
}

bool LinuxPortTable::IsRealUart(const std::string& name, const std::string& ttyDir,
                                const std::string& node) const {
    // The kernel reports the UART type of its serial ports; type 0 (unknown) marks the slots
    // it reserves without any hardware behind them.
    const fs::path typeFile = fs::path(ttyDir) / "type";
    if (Exists(typeFile)) {
        const std::string type = ReadAttribute(typeFile);
        return !type.empty() && type != "0";
    }

    // Older kernels lack the attribute: ask the driver. Non-blocking, so a missing carrier
    // cannot hold the open.
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        serial_struct info{};
        const bool known = ::ioctl(fd, TIOCGSERIAL, &info) == 0;
        ::close(fd);
        if (known) return info.type != PORT_UNKNOWN;
    }
    // No answer: an 8250-style slot is taken for a phantom, any other driver's port is real.
    return NumberAfter(name, "ttyS") < 0;
}

std::vector<LinuxPortTable::Candidate> LinuxPortTable::SystemPorts() const {
    std::vector<Candidate> ports;
    std::vector<Candidate> others;
    const fs::path classDir = fs::path(m_sysfsRoot) / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec) return ports;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        const std::string ttyDir = entry.path().string();
        const std::string node = (fs::path(m_devDir) / name).string();
        // Only ports with a driver-bound device; virtual consoles, ptmx and the like have none.
        if (!Exists(fs::path(ttyDir) / "device" / "driver") || !Exists(node)) continue;

        Candidate c{0, {name, "", node, ""}};
        c.info.deviceKey = DeviceKey(node);
        if (int n = NumberAfter(name, "ttyUSB"); n >= 0) {
            if (n >= kUsbCount) continue;
            c.comNumber = kUsbFirst + n;
            c.info.description = UsbDescription(ttyDir + "/device");
            ports.push_back(c);
        } else if (int m = NumberAfter(name, "ttyACM"); m >= 0) {
            if (m >= kUsbCount) continue;
            c.comNumber = kAcmFirst + m;
            c.info.description = UsbDescription(ttyDir + "/device");
            ports.push_back(c);
        } else if (IsRealUart(name, ttyDir, node)) {
            c.info.description = "on-board serial port";
            const int s = NumberAfter(name, "ttyS");
            if (s >= 0 && s < kOnboardCount) {
                c.comNumber = kOnboardFirst + s;
                ports.push_back(c);
            } else {
                others.push_back(c);
            }
        }
    }
    // Other UARTs are numbered in name order; they are fixed on the board, so the order holds.
    std::sort(others.begin(), others.end(), [](const Candidate& a, const Candidate& b) {
        return a.info.valueName < b.info.valueName;
    });
    for (std::size_t i = 0; i < others.size() && i < static_cast<std::size_t>(kOtherCount); ++i) {
        others[i].comNumber = kOtherFirst + static_cast<int>(i);
        ports.push_back(others[i]);
    }
    return ports;
}

std::vector<PortInfo> LinuxPortTable::Enumerate() {
    std::vector<Candidate> ports = SystemPorts();

    // Extra paths take their number from their place in the list, so one that goes away, or
    // leads to a port listed already (under any spelling), does not rename the others.
    std::vector<std::string> seen;
    for (const auto& p : ports) seen.push_back(p.info.deviceKey);
    int number = kExtraFirst;
    for (const ExtraPath& extra : ExtraPaths()) {
        if (number > kExtraLast) break;
        const int com = number++;
        const std::string key = DeviceKey(extra.path);
        if (key.empty() || std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        PortInfo info{extra.path, "", extra.path,
                      extra.fromEnvironment ? "extra port (environment)" : "extra port (added)"};
        info.deviceKey = key;
        ports.push_back({com, std::move(info)});
    }

    std::sort(ports.begin(), ports.end(),
              [](const Candidate& a, const Candidate& b) { return a.comNumber < b.comNumber; });
    std::vector<PortInfo> list;
    for (auto& p : ports) {
        p.info.comName = ComName(p.comNumber);
        list.push_back(std::move(p.info));
    }
    return list;
}

std::string LinuxPortTable::Resolve(const std::string& comName) {
    std::string name = comName;
    const std::string deviceNamespace = "\\\\.\\";
    if (name.compare(0, deviceNamespace.size(), deviceNamespace) == 0)
        name = name.substr(deviceNamespace.size());
    for (const auto& port : Enumerate())
        if (port.comName == name) return port.devicePath;
    return {};
}

}  // namespace orlo
