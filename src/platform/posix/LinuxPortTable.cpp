#include "posix/LinuxPortTable.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
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
constexpr int kNoComName = 1 << 30;  // listed, without a COM name: after every named port

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

// A UART with hardware behind it: the kernel's type 0 (unknown) marks the slots it reserves
// without any. With no type known, an 8250-style slot is taken for a phantom and any other
// driver's port for real.
bool IsRealUart(const TtyRecord& tty) {
    if (!tty.uartType.empty()) return tty.uartType != "0";
    return NumberAfter(tty.kernelName, "ttyS") < 0;
}

PortInfo Entry(const std::string& valueName, const std::string& devicePath,
               const std::string& description) {
    PortInfo info;
    info.valueName = valueName;
    info.devicePath = devicePath;
    info.description = description;
    return info;
}

std::string ComName(int number) {
    return "COM" + std::to_string(number);
}

std::string DefaultEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

}  // namespace

LinuxPortTable::LinuxPortTable(EnvReader env, TtySource ttys)
    : m_env(env ? std::move(env) : EnvReader(DefaultEnv)),
      m_systemTtys(!ttys),
      m_ttys(ttys ? std::move(ttys) : TtySource(ScanTtys)) {}

std::string LinuxPortTable::DeviceKey(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
    if (S_ISCHR(st.st_mode))
        return "c:" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    return "f:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool LinuxPortTable::Open() {
    std::error_code ec;
    if (m_systemTtys ? fs::is_directory("/sys/class/tty", ec) : !m_ttys().empty()) return true;
    return !ExtraPaths().empty();
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

std::vector<LinuxPortTable::Candidate> LinuxPortTable::SystemPorts() const {
    std::vector<Candidate> ports;
    std::vector<Candidate> others;
    for (const TtyRecord& tty : m_ttys()) {
        // Only ports with a driver-bound device; virtual consoles, ptmx and the like have none.
        if (tty.driver.empty()) continue;
        Candidate c{kNoComName, Entry(tty.kernelName, tty.devNode, "")};
        c.info.deviceKey = DeviceKey(tty.devNode);
        if (c.info.deviceKey.empty()) continue;  // no device node
        const int usb = NumberAfter(tty.kernelName, "ttyUSB");
        const int acm = NumberAfter(tty.kernelName, "ttyACM");
        const int uart = NumberAfter(tty.kernelName, "ttyS");
        if (usb < 0 && acm < 0 && !IsRealUart(tty)) continue;
        DescribeTty(tty, &c.info);
        // A port beyond its range has no COM name, but it is listed all the same: a gang
        // names its ports by their paths.
        if (usb >= 0 || acm >= 0) {
            if (std::max(usb, acm) < kUsbCount)
                c.comNumber = usb >= 0 ? kUsbFirst + usb : kAcmFirst + acm;
            ports.push_back(std::move(c));
        } else if (uart >= 0 && uart < kOnboardCount) {
            c.comNumber = kOnboardFirst + uart;
            ports.push_back(std::move(c));
        } else {
            others.push_back(std::move(c));
        }
    }
    // Other UARTs are numbered in name order; they are fixed on the board, so the order holds.
    std::sort(others.begin(), others.end(), [](const Candidate& a, const Candidate& b) {
        return a.info.valueName < b.info.valueName;
    });
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (i < static_cast<std::size_t>(kOtherCount)) others[i].comNumber = kOtherFirst + static_cast<int>(i);
        ports.push_back(std::move(others[i]));
    }
    return ports;
}

std::vector<PortInfo> LinuxPortTable::Enumerate() {
    std::vector<Candidate> ports = SystemPorts();

    // Extra paths take their number from their place in the list, so one that goes away, or
    // leads to a port listed already (under any spelling), does not rename the others. Those
    // beyond the range are listed without a COM name.
    std::vector<std::string> seen;
    for (const auto& p : ports) seen.push_back(p.info.deviceKey);
    int number = kExtraFirst;
    for (const ExtraPath& extra : ExtraPaths()) {
        const int com = number <= kExtraLast ? number : kNoComName;
        ++number;
        const std::string key = DeviceKey(extra.path);
        if (key.empty() || std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        PortInfo info =
            Entry(extra.path, extra.path,
                  extra.fromEnvironment ? "extra port (environment)" : "extra port (added)");
        info.deviceKey = key;
        ports.push_back({com, std::move(info)});
    }

    // By COM number; the ports without one follow in the order found.
    std::stable_sort(ports.begin(), ports.end(), [](const Candidate& a, const Candidate& b) {
        return a.comNumber < b.comNumber;
    });
    std::vector<PortInfo> list;
    for (auto& p : ports) {
        if (p.comNumber != kNoComName) p.info.comName = ComName(p.comNumber);
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
