// What orlo doctor looks at on Linux: the node, the user's access (the node's own group, and a
// group the user joined after this login began), the programs that hold the port, ModemManager,
// brltty, an FTDI adapter's latency timer, and the line settings themselves.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <system_error>

#include "Doctor.h"
#include "posix/PortAccess.h"
#include "posix/PosixSerial.h"
#include "posix/UdevPorts.h"

namespace orlo::cli {

namespace {

namespace fs = std::filesystem;

// Frames of the longest run (the application region: 59 write and 59 verify blocks, start and
// finish), each of which waits for the reply to the one before.
constexpr int kFramesOfApplicationRun = 120;

bool ProcessRuns(const std::string& comm) {
    for (const std::string& pid : OtherProcessIds())
        if (FirstLineOf("/proc/" + pid + "/comm") == comm) return true;
    return false;
}

Finding AccessFinding(const std::string& path, const struct stat& st) {
    if (::access(path.c_str(), R_OK | W_OK) == 0)
        return {"access", Severity::Ok, "you may open " + path + " for reading and writing", ""};
    return AccessAdvice(ExamineNodeAccess(path, st));
}

// Where udev reads its rules, the first place winning for a file name.
constexpr const char* kRuleDirs[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                     "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

// brltty's rules in effect: the claims of every rule file named after it that is not masked
// (a link to /dev/null or empty, as udev reads it), and the first such file.
std::vector<std::string> InstalledBrlttyClaims(std::string* ruleFile) {
    std::vector<std::string> claims;
    std::vector<std::string> seen;
    for (const char* dir : kRuleDirs) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.find("brltty") == std::string::npos || entry.path().extension() != ".rules")
                continue;
            if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
            seen.push_back(name);
            std::ifstream in(entry.path());
            const std::string text((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
            const std::vector<std::string> found = BrlttyClaims(text);
            if (!found.empty() && ruleFile->empty()) *ruleFile = entry.path().string();
            claims.insert(claims.end(), found.begin(), found.end());
        }
    }
    return claims;
}

bool OnUsb(const DoctorTarget& t) {
    const std::string name =
        fs::path(t.port.devicePath.empty() ? t.path : t.port.devicePath).filename().string();
    return !t.port.vendorId.empty() || name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

Finding ModemManagerFinding(const DoctorTarget& t) {
    if (!ProcessRuns("ModemManager"))
        return {"modem-manager", Severity::Ok, "ModemManager is not running", ""};
    const auto props = TtyProperties(t.path);
    const auto ignore = props.find("ID_MM_DEVICE_IGNORE");
    if (ignore != props.end() && ignore->second == "1")
        return {"modem-manager", Severity::Ok, "ModemManager is running and leaves this port alone",
                ""};
    const std::string vid = t.port.vendorId.empty() ? "VVVV" : t.port.vendorId;
    const std::string pid = t.port.productId.empty() ? "PPPP" : t.port.productId;
    return {
        "modem-manager", Severity::Warning,
        "ModemManager is running and may probe this port when it appears (it sends modem "
        "commands to the device for several seconds)",
        "tell it to leave the adapter alone: put ATTRS{idVendor}==\"" + vid +
            "\", ATTRS{idProduct}==\"" + pid +
            "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\" into /etc/udev/rules.d/99-orlo.rules, then run: "
            "sudo udevadm control --reload-rules && sudo udevadm trigger"};
}

// The adapter's latency timer (FTDI): how long it holds received bytes before it sends them on.
std::optional<Finding> LatencyFinding(const DoctorTarget& t) {
    if (t.port.driver != "ftdi_sio") return std::nullopt;
    std::error_code ec;
    const std::string kernel = fs::canonical(t.path, ec).filename().string();
    const fs::path file = fs::path("/sys/class/tty") / kernel / "device" / "latency_timer";
    const std::string value = FirstLineOf(file);
    if (value.empty()) return std::nullopt;
    const int ms = std::atoi(value.c_str());
    if (ms <= 1) return Finding{"latency", Severity::Ok, "latency_timer is " + value + " ms", ""};
    return Finding{
        "latency", Severity::Note,
        "latency_timer is " + value + " ms: the adapter holds each reply up to " + value +
            " ms, and every frame waits for the reply to the one before, so an application run (" +
            std::to_string(kFramesOfApplicationRun) + " frames) can take up to " +
            std::to_string(kFramesOfApplicationRun * ms / 1000.0).substr(0, 3) + " s longer",
        "run: echo 1 | sudo tee " + file.string()};
}

// Opens the port as a run would, without its lock, and sets the line to 115200 8N1 raw; the
// settings found are put back.
Finding LineFinding(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {"line", Severity::Blocker, "cannot open " + path + ": " + std::strerror(errno), ""};
    Finding f;
    f.check = "line";
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        f = {"line", Severity::Blocker,
             path + " is not a serial device (it takes no line settings)",
             "name the adapter's port: orlo ports lists them"};
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        f = {"line", Severity::Blocker, path + " is locked by another program",
             "close the program that uses the port"};
    } else {
        LineSettings settings;
        settings.baudRate = 115200;
        termios tio = saved;
        termios back{};
        const bool applied = ApplyLineSettings(settings, &tio) &&
                             ::tcsetattr(fd, TCSANOW, &tio) == 0 && ::tcgetattr(fd, &back) == 0;
        const bool raw = applied && ::cfgetospeed(&back) == B115200 &&
                         ::cfgetispeed(&back) == B115200 && (back.c_cflag & CSIZE) == CS8 &&
                         !(back.c_cflag & PARENB) && !(back.c_cflag & CSTOPB) &&
                         !(back.c_lflag & (ICANON | ECHO | ISIG));
        f = raw ? Finding{"line", Severity::Ok, "the line takes 115200 baud, 8N1, raw", ""}
                : Finding{"line", Severity::Blocker, "the line does not take 115200 baud, 8N1, raw",
                          "the adapter or its driver cannot serve this device"};
        ::tcsetattr(fd, TCSANOW, &saved);
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return f;
}

// 1 when the device is a terminal (a serial port, a pseudo-terminal), 0 when it is not, -1 when
// it cannot be opened to ask.
int IsTerminal(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int terminal = ::isatty(fd) ? 1 : 0;
    ::close(fd);
    return terminal;
}

// Four lowercase hex digits, as the port table gives USB ids ("403" -> "0403").
std::string UsbId(std::string id) {
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (id.size() > 4 && id.front() == '0') id.erase(0, 1);
    return id.size() < 4 ? std::string(4 - id.size(), '0') + id : id;
}

bool IsHex(const std::string& text) {
    return !text.empty() && text.size() <= 4 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

Finding AccessAdvice(const NodeAccess& a) {
    const std::string text =
        "you may not open " + a.path + " (owner " + a.owner + ", group " + a.group + ")";
    if (a.groupReadWrite) {
        const std::string& g = a.group;
        if (a.databaseHasGroup && !a.processHasGroup)
            return {"access", Severity::Blocker, text,
                    "you are in group " + g +
                        ", but this login started before you joined it, so its programs do not "
                        "have the group yet: log out and in again (or, for one shell: newgrp " +
                        g + ")"};
        if (a.processHasGroup)
            return {"access", Severity::Blocker, text,
                    "this program runs with group " + g +
                        " and still may not open the node: look at its access list (getfacl " +
                        a.path + ") and at the security modules (AppArmor, SELinux)"};
        return {"access", Severity::Blocker, text,
                "join the port's group " + g + ": sudo usermod -aG " + g +
                    " $USER, then log out and in again"};
    }
    return {"access", Severity::Blocker, text,
            "give the port to group dialout with a udev rule: put SUBSYSTEM==\"tty\", KERNEL==\"" +
                fs::path(a.path).filename().string() +
                "\", GROUP=\"dialout\", MODE=\"0660\" into /etc/udev/rules.d/99-orlo.rules, "
                "reload the rules with sudo udevadm control --reload-rules && sudo udevadm "
                "trigger, then join dialout: sudo usermod -aG dialout $USER and log out and in "
                "again"};
}

std::vector<std::string> BrlttyClaims(const std::string& rules) {
    std::vector<std::string> claims;
    auto add = [&claims](const std::string& vid, const std::string& pid) {
        if (!IsHex(vid) || !IsHex(pid)) return;
        const std::string id = UsbId(vid) + ":" + UsbId(pid);
        if (std::find(claims.begin(), claims.end(), id) == claims.end()) claims.push_back(id);
    };
    // The value of `key=="..."` on a line, or empty.
    auto value = [](const std::string& line, const std::string& key) {
        const auto at = line.find(key + "==\"");
        if (at == std::string::npos) return std::string();
        const auto begin = at + key.size() + 3;
        const auto end = line.find('"', begin);
        return end == std::string::npos ? std::string() : line.substr(begin, end - begin);
    };
    std::istringstream in(rules);
    for (std::string line; std::getline(in, line);) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        // ENV{PRODUCT}=="1a86/7523/*": vendor/product/version, hex without leading zeros.
        const std::string product = value(line, "ENV{PRODUCT}");
        if (const auto slash = product.find('/'); slash != std::string::npos) {
            const auto second = product.find('/', slash + 1);
            add(product.substr(0, slash), product.substr(slash + 1, second == std::string::npos
                                                                        ? std::string::npos
                                                                        : second - slash - 1));
        }
        add(value(line, "ATTRS{idVendor}"), value(line, "ATTRS{idProduct}"));
    }
    return claims;
}

std::optional<Finding> BrlttyFinding(const std::vector<std::string>& claims,
                                     const std::string& vendorId, const std::string& productId,
                                     bool nodeMissing, const std::string& ruleFile) {
    if (claims.empty()) return std::nullopt;
    const std::string fix =
        "when no braille display is used on this computer, remove brltty (sudo apt remove "
        "brltty) or mask its rule: sudo ln -s /dev/null /etc/udev/rules.d/" +
        fs::path(ruleFile).filename().string() + " && sudo udevadm control --reload-rules; then "
        "plug the adapter in again";
    if (!vendorId.empty() && !productId.empty()) {
        const std::string id = UsbId(vendorId) + ":" + UsbId(productId);
        if (std::find(claims.begin(), claims.end(), id) == claims.end()) return std::nullopt;
        return Finding{"brltty", Severity::Warning,
                       "brltty (the braille display service) claims USB adapters " + id +
                           " as braille displays: when such an adapter is plugged in, it may take "
                           "the port away (the port appears and vanishes)",
                       fix};
    }
    if (!nodeMissing) return std::nullopt;
    // The adapters people meet most often, named where brltty claims them.
    constexpr std::pair<const char*, const char*> kCommon[] = {
        {"1a86:7523", "CH340"}, {"10c4:ea60", "CP210x"}, {"0403:6001", "FT232R"}};
    std::string common;
    for (const auto& [id, name] : kCommon)
        if (std::find(claims.begin(), claims.end(), id) != claims.end())
            common += std::string(common.empty() ? "" : ", ") + name + " " + id;
    return Finding{"brltty", Severity::Warning,
                   "brltty (the braille display service) claims " + std::to_string(claims.size()) +
                       " kinds of USB adapter as braille displays (" +
                       (common.empty() ? "rules in " + ruleFile : common + " among them") +
                       "): a port that appeared and vanished was probably taken by it",
                   fix};
}

std::vector<Finding> ExaminePort(const DoctorTarget& t) {
    std::vector<Finding> findings;
    struct stat st {};
    if (::stat(t.path.c_str(), &st) != 0) {
        struct stat link {};
        std::string text = t.path + " does not exist";
        if (::lstat(t.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            std::error_code ec;
            text = t.path + " is a link to " + fs::read_symlink(t.path, ec).string() +
                   ", which does not exist";
        }
        findings.push_back({"device", Severity::Blocker, text,
                            "plug the adapter in; orlo ports lists the ports there are"});
        std::string ruleFile;
        const std::vector<std::string> claims = InstalledBrlttyClaims(&ruleFile);
        if (auto brltty = BrlttyFinding(claims, {}, {}, true, ruleFile))
            findings.push_back(*brltty);
        return findings;
    }
    const int terminal = IsTerminal(t.path);
    if (!S_ISCHR(st.st_mode) || terminal == 0) {
        findings.push_back({"device", Severity::Blocker, t.path + " is not a serial device",
                            "name the adapter's port: orlo ports lists them"});
        return findings;
    }
    findings.push_back({"device", Severity::Ok,
                        t.path + (terminal > 0 ? " is a terminal device" : " is a character device") +
                            (t.port.driver.empty() ? "" : " served by " + t.port.driver),
                        ""});

    findings.push_back(AccessFinding(t.path, st));
    const bool mayOpen = findings.back().severity == Severity::Ok;

    const PortHolders holders = FindPortHolders(st.st_rdev);
    if (!holders.farEnds.empty())
        findings.push_back({"holder", Severity::Ok,
                            "the far end of this pseudo-terminal is " + JoinNames(holders.farEnds),
                            ""});
    if (!holders.others.empty()) {
        findings.push_back({"holder", Severity::Blocker,
                            "the port is open in " + JoinNames(holders.others),
                            "close that program first"});
    } else {
        findings.push_back({"holder", Severity::Ok,
                            ::geteuid() == 0 ? "no other program has the port open"
                                             : "no program of yours has the port open (other "
                                               "users' programs show to root only)",
                            ""});
    }
    if (OnUsb(t)) {
        findings.push_back(ModemManagerFinding(t));
        std::string ruleFile;
        const std::vector<std::string> claims = InstalledBrlttyClaims(&ruleFile);
        if (auto brltty = BrlttyFinding(claims, t.port.vendorId, t.port.productId, false, ruleFile))
            findings.push_back(*brltty);
    }
    if (auto latency = LatencyFinding(t)) findings.push_back(*latency);
    if (mayOpen && holders.others.empty())
        findings.push_back(LineFinding(t.path));
    else
        findings.push_back({"line", Severity::Note,
                            "the line settings were not tried: the port cannot be opened now", ""});
    return findings;
}

}  // namespace orlo::cli
