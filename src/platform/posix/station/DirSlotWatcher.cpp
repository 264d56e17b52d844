// The slots of a folder: every entry that is a symbolic link to a serial device is a device
// plugged into the slot named by the entry; removing the entry is unplugging. inotify tells of
// every change, so the folder is read again only when something happened (and every few
// seconds in case a change was missed); without inotify the folder is read every quarter second.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>

#include "station/SlotWatcher.h"

namespace orlo::station {

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kNotifiedPeriod = std::chrono::milliseconds(100);  // how often inotify is read
constexpr auto kPolledPeriod = std::chrono::milliseconds(250);    // reading without inotify
constexpr auto kSafetyRescan = std::chrono::seconds(3);           // a missed change is seen
constexpr unsigned kPtySlaveMajorFirst = 136;  // Unix98 pseudo-terminal slaves: 136..143
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kTtyAuxMajor = 5;       // /dev/tty, /dev/console, /dev/ptmx: never a device
constexpr unsigned kTtyMajor = 4;          // tty0..63 are virtual consoles, ttyS* from 64
constexpr unsigned kFirstSerialMinor = 64;

// Why the character device `st` is not a serial line a device can be on; empty when it is.
std::string NotSerial(const struct stat& st) {
    if (!S_ISCHR(st.st_mode)) return "not a serial device";
    const unsigned major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
    if (major == kTtyAuxMajor || (major == kTtyMajor && minor < kFirstSerialMinor))
        return "a terminal of this system, not a serial device";
    if (major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast) return {};
    std::error_code ec;
    const fs::path subsystem = fs::read_symlink(
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/subsystem", ec);
    if (!ec && subsystem.filename() == "tty") return {};
    return "not a serial device";
}

class DirSlotWatcher : public ISlotWatcher {
  public:
    explicit DirSlotWatcher(std::string dir) : m_dir(std::move(dir)) {
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        AddWatch();
        Scan();
    }
    ~DirSlotWatcher() override {
        if (m_inotify >= 0) ::close(m_inotify);
    }

    const std::map<std::string, SlotDevice>& Present() override {
        const auto now = SteadyClock::now();
        bool changed = DrainEvents();
        if (m_watch < 0) changed = changed || now >= m_nextScan;  // polling, or the folder is away
        if (changed || now >= m_safetyScan) Scan();
        return m_present;
    }
    std::chrono::milliseconds Period() const override {
        return m_watch >= 0 ? kNotifiedPeriod : kPolledPeriod;
    }
    std::string Problem() const override { return m_problem; }

  private:
    void AddWatch() {
        if (m_inotify < 0) return;
        m_watch = ::inotify_add_watch(m_inotify, m_dir.c_str(),
                                      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    }

    // Reads what inotify queued; true when the folder changed. A name that was deleted or
    // moved away counts a new generation: whatever carries that name later is another device,
    // even when the folder is read only after it came back.
    bool DrainEvents() {
        if (m_inotify < 0 || m_watch < 0) return false;
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        bool changed = false;
        for (;;) {
            const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                changed = true;
                if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    if (event->wd == m_watch) {
                        ::inotify_rm_watch(m_inotify, m_watch);
                        m_watch = -1;
                    }
                    continue;
                }
                if (event->len > 0 && (event->mask & (IN_DELETE | IN_MOVED_FROM)))
                    ++m_generation[event->name];
            }
        }
        return changed;
    }

    void Scan() {
        const auto now = SteadyClock::now();
        m_nextScan = now + kPolledPeriod;
        m_safetyScan = now + kSafetyRescan;
        if (m_inotify >= 0 && m_watch < 0) AddWatch();  // the folder may be back
        std::error_code ec;
        fs::directory_iterator it(m_dir, ec);
        if (ec) {
            m_problem = "cannot read the slots folder " + m_dir + ": " + ec.message();
            m_present.clear();
            return;
        }
        std::map<std::string, SlotDevice> present;
        std::string problems;
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) break;
            const std::string name = it->path().filename().string();
            if (name.empty() || name[0] == '.') continue;  // a link being made under a hidden name
            const std::string path = it->path().string();
            struct stat link {};
            if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) continue;
            struct stat target {};
            if (::stat(path.c_str(), &target) != 0) continue;  // dangling: no device (yet)
            const std::string why = NotSerial(target);
            std::error_code linkError;
            const std::string node = fs::canonical(path, linkError).string();
            if (!why.empty()) {
                problems += (problems.empty() ? "" : "; ") + std::string("slot ") + name +
                            " leads to " + (linkError ? std::string("?") : node) + ", " + why +
                            ": left alone";
                continue;
            }
            SlotDevice device;
            device.path = path;
            device.node = linkError ? std::string() : node;
            device.identity = std::to_string(m_generation[name]) + "|" +
                              std::to_string(link.st_ino) + "|" + device.node + "|" +
                              std::to_string(target.st_rdev);
            present.emplace(name, std::move(device));
        }
        m_problem = problems;
        m_present = std::move(present);
    }

    std::string m_dir;
    int m_inotify = -1;
    int m_watch = -1;
    std::map<std::string, unsigned> m_generation;
    std::map<std::string, SlotDevice> m_present;
    std::string m_problem;
    SteadyClock::time_point m_nextScan{};
    SteadyClock::time_point m_safetyScan{};
};

}  // namespace

std::unique_ptr<ISlotWatcher> MakeDirSlotWatcher(const std::string& dir, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        if (error) *error = "--slots-dir " + dir + ": no such folder";
        return nullptr;
    }
    return std::make_unique<DirSlotWatcher>(dir);
}

}  // namespace orlo::station
