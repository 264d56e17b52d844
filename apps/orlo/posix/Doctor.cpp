// What orlo doctor looks at on Linux: the node, the user's access, the programs that hold the
// port, ModemManager, an FTDI adapter's latency timer, and the line settings themselves.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "Doctor.h"
#include "posix/PosixSerial.h"
#include "posix/UdevPorts.h"

namespace orlo::cli {

namespace {

namespace fs = std::filesystem;

// Frames of the longest run (the application region: 59 write and 59 verify blocks, start and
// finish), each of which waits for the reply to the one before.
constexpr int kFramesOfApplicationRun = 120;

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

// Process ids in /proc, except this process.
std::vector<std::string> OtherProcesses() {
    std::vector<std::string> pids;
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (name != self) pids.push_back(name);
    }
    return pids;
}

// The pseudo-terminal index of a slave device (/dev/pts/N), or -1 for any other device.
long PtyIndex(dev_t device) {
    const unsigned maj = major(device);
    if (maj < 136 || maj > 143) return -1;  // the kernel's majors of pseudo-terminal slaves
    return static_cast<long>((maj - 136) * 256 + minor(device));
}

struct Holders {
    std::vector<std::string> others;   // "minicom (pid 4242)": programs that use the port
    std::vector<std::string> farEnds;  // programs at the master side of a pseudo-terminal
};

// Every other process with the device open. A process that also holds the master of a
// pseudo-terminal is its far end (a simulated device), not a program in the way.
Holders FindHolders(dev_t device) {
    Holders holders;
    const long pty = PtyIndex(device);
    for (const std::string& pid : OtherProcesses()) {
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* dir = ::opendir(fdDir.c_str());
        if (dir == nullptr) continue;  // gone, or another user's
        bool holds = false;
        bool master = false;
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            struct stat st {};
            const std::string fd = fdDir + "/" + e->d_name;
            if (::stat(fd.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            if (st.st_rdev == device) holds = true;
            if (pty >= 0 && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2) {  // /dev/ptmx
                std::ifstream info("/proc/" + pid + "/fdinfo/" + e->d_name);
                for (std::string line; std::getline(info, line);)
                    if (line.rfind("tty-index:", 0) == 0 && std::atol(line.c_str() + 10) == pty)
                        master = true;
            }
        }
        ::closedir(dir);
        if (!holds && !master) continue;
        const std::string name = FirstLine("/proc/" + pid + "/comm") + " (pid " + pid + ")";
        (master ? holders.farEnds : holders.others).push_back(name);
    }
    return holders;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

bool ProcessRuns(const std::string& comm) {
    for (const std::string& pid : OtherProcesses())
        if (FirstLine("/proc/" + pid + "/comm") == comm) return true;
    return false;
}

bool InGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(n > 0 ? n : 0));
    if (n > 0 && ::getgroups(n, groups.data()) == n)
        for (gid_t g : groups)
            if (g == gid) return true;
    return false;
}

// The user is listed in the group's members, though this login does not have it yet.
bool ListedInGroup(const group* gr) {
    const passwd* pw = ::getpwuid(::getuid());
    if (pw == nullptr || gr == nullptr) return false;
    for (char** m = gr->gr_mem; m != nullptr && *m != nullptr; ++m)
        if (std::strcmp(*m, pw->pw_name) == 0) return true;
    return false;
}

Finding AccessFinding(const std::string& path, const struct stat& st) {
    if (::access(path.c_str(), R_OK | W_OK) == 0)
        return {"access", Severity::Ok, "you may open " + path + " for reading and writing", ""};
    const group* gr = ::getgrgid(st.st_gid);
    const std::string group = gr ? gr->gr_name : std::to_string(st.st_gid);
    const std::string text =
        "you may not open " + path + " (owner " +
        (::getpwuid(st.st_uid) ? ::getpwuid(st.st_uid)->pw_name : std::to_string(st.st_uid)) +
        ", group " + group + ")";
    if (st.st_gid != 0 && (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP)) {
        if (ListedInGroup(gr) && !InGroup(st.st_gid))
            return {"access", Severity::Blocker, text,
                    "you are in group " + group +
                        " but this login is not yet: log in again (or run: newgrp " + group + ")"};
        return {"access", Severity::Blocker, text,
                "run: sudo usermod -aG " + group + " $USER, then log in again"};
    }
    return {"access", Severity::Blocker, text,
            "give the port to group dialout with a udev rule: SUBSYSTEM==\"tty\", KERNEL==\"" +
                fs::path(path).filename().string() +
                "\", GROUP=\"dialout\", MODE=\"0660\"; then join dialout: sudo usermod -aG dialout "
                "$USER"};
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
    const std::string value = FirstLine(file);
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

}  // namespace

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

    const Holders holders = FindHolders(st.st_rdev);
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
    if (OnUsb(t)) findings.push_back(ModemManagerFinding(t));
    if (auto latency = LatencyFinding(t)) findings.push_back(*latency);
    if (mayOpen && holders.others.empty())
        findings.push_back(LineFinding(t.path));
    else
        findings.push_back({"line", Severity::Note,
                            "the line settings were not tried: the port cannot be opened now", ""});
    return findings;
}

}  // namespace orlo::cli
