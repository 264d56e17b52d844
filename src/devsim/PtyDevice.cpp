#include "devsim/PtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace orlo::devsim {

namespace {

constexpr std::size_t kReadChunk = 4096;                        // bytes per read of the master
constexpr auto kBytewiseGap = std::chrono::microseconds(50);    // between single-byte writes
constexpr auto kHangUpBackoff = std::chrono::milliseconds(10);  // after a master read error
// Before a hang-up: the slave's input must stay empty this long, looked at this often, for at
// most this long (nobody may be reading the port at all).
constexpr auto kDrainQuiet = std::chrono::milliseconds(20);
constexpr auto kDrainPoll = std::chrono::milliseconds(1);
constexpr auto kDrainPatience = std::chrono::seconds(2);

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void SetCloseOnExec(int fd) {
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

// Removes `path` only while it is still a link to `target`, never anything the user put there.
void RemoveLinkTo(const std::string& path, const std::string& target) {
    std::array<char, PATH_MAX> buf{};
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size() - 1);
    if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str());
}

}  // namespace

PtyDevice::PtyDevice(DeviceOptions device, PtyOptions options)
    : m_device(std::move(device)),
      m_options(std::move(options)),
      m_rxLine(m_options.baud),
      m_txLine(m_options.baud) {}

PtyDevice::~PtyDevice() {
    Stop();
    for (int& fd : m_wake)
        if (fd >= 0) ::close(std::exchange(fd, -1));
}

bool PtyDevice::Start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        CloseTerminal();
        return false;
    };
    if (m_thread.joinable() || m_master >= 0)
        return fail("the simulated device is already serving");

    std::array<char, PATH_MAX> name{};
    if (::openpty(&m_master, &m_slave, name.data(), nullptr, nullptr) != 0)
        return fail(Errno("cannot open a pseudo-terminal"));
    m_slavePath = name.data();
    SetCloseOnExec(m_master);
    SetCloseOnExec(m_slave);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);

    // Raw slave: bytes pass unchanged in both directions and nothing is echoed back.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0) return fail(Errno("cannot read the terminal settings"));
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) return fail(Errno("cannot set the terminal raw"));

    if (m_wake[0] < 0 && ::pipe(m_wake) != 0) return fail(Errno("cannot create a pipe"));
    for (int fd : m_wake) {
        SetCloseOnExec(fd);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    if (!m_options.linkPath.empty()) {
        const std::string& link = m_options.linkPath;
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return fail(link + " exists and is not a symbolic link; not replacing it");
            ::unlink(link.c_str());
        }
        if (::symlink(m_slavePath.c_str(), link.c_str()) != 0)
            return fail(Errno("cannot create the link " + link));
        m_linked = true;
    }

    m_stop = false;
    m_serving = true;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void PtyDevice::Stop() {
    m_stop = true;
    if (m_wake[1] >= 0) {
        const uint8_t b = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &b, 1);
    }
    if (m_thread.joinable()) m_thread.join();
    m_serving = false;
    CloseTerminal();
    if (m_linked) {
        RemoveLinkTo(m_options.linkPath, m_slavePath);
        m_linked = false;
    }
}

void PtyDevice::CloseTerminal() {
    if (m_master >= 0) ::close(std::exchange(m_master, -1));
    if (m_slave >= 0) ::close(std::exchange(m_slave, -1));
}

void PtyDevice::PrintLine(const std::string& text) {
    SendRaw(Device::TextLine(text));
}

void PtyDevice::SendLogStart() {
    SendRaw(Device::LogStartFrame());
}

void PtyDevice::SendRaw(std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(bytes));
    }
    if (m_wake[1] >= 0) {
        const uint8_t b = 0;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &b, 1);
    }
}

bool PtyDevice::StopRequested() {
    if (m_stop.load()) return true;
    // Empty the self-pipe: its bytes only mean "look at the flags and the queue again".
    uint8_t sink[64];
    while (::read(m_wake[0], sink, sizeof sink) > 0) {
    }
    return m_stop.load();
}

void PtyDevice::Trace(Direction dir, const std::vector<uint8_t>& bytes) {
    if (m_options.trace) m_options.trace(dir, bytes);
}

void PtyDevice::Serve() {
    std::vector<uint8_t> buf(kReadChunk);
    LineClock::time_point lastRx = LineClock::now();
    while (!StopRequested()) {
        SendQueued();
        if (m_stop.load()) break;

        int timeout = -1;  // ms
        if (m_options.partialTimeout.count() > 0 && m_device.HasPartial()) {
            const auto left = lastRx + m_options.partialTimeout - LineClock::now();
            if (left <= LineClock::duration::zero()) {
                m_device.DiscardPartial();
                continue;
            }
            timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }

        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;

        const ssize_t n = ::read(m_master, buf.data(), buf.size());
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // No slave end (cannot happen while we hold one, but never spin on it).
            if (!WaitUntil(LineClock::now() + kHangUpBackoff)) break;
            continue;
        }
        lastRx = LineClock::now();
        if (m_options.baud) {
            // Act on the bytes only when they would have crossed the line.
            lastRx = m_rxLine.Schedule(lastRx, static_cast<std::size_t>(n));
            if (!WaitUntil(lastRx)) break;
        }

        for (const Exchange& ex : m_device.FeedFrames(buf.data(), static_cast<std::size_t>(n))) {
            Trace(Direction::ToDevice, ex.frame);
            const Faults faults = m_device.GetFaults();
            // A late answer holds up everything behind it: nothing is read meanwhile.
            const uint32_t delayMs = faults.replyDelayMs + ex.lateMs;
            if (!ex.out.empty() && delayMs &&
                !WaitUntil(LineClock::now() + std::chrono::milliseconds(delayMs)))
                break;
            for (const auto& unit : ex.out)
                if (!Send(unit, faults.bytewise)) break;
            if (ex.hangUp) {
                // Closing the master is the hang-up the tool sees on its side. The terminal
                // discards input the tool has not read yet, so the answer is given time to be
                // taken first.
                WaitForSlaveToDrain();
                CloseTerminal();
                m_serving = false;
                return;
            }
            if (m_stop.load()) break;
        }
    }
    m_serving = false;
}

void PtyDevice::SendQueued() {
    for (;;) {
        std::vector<uint8_t> unit;
        {
            std::lock_guard lock(m_queueMutex);
            if (m_queue.empty()) return;
            unit = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (!Send(unit, false)) return;
    }
}

bool PtyDevice::Send(const std::vector<uint8_t>& unit, bool bytewise) {
    // Traced before it goes out, so the trace never shows an answer after the tool has it.
    Trace(Direction::FromDevice, unit);
    const std::size_t chunk = WriteChunk(m_options.baud, bytewise, unit.size());
    // Every chunk of the reply is scheduled from the moment the reply was handed over, so the
    // small delays of waking up do not add up over the chunks of a long reply.
    const auto handedOver = LineClock::now();
    for (std::size_t off = 0; off < unit.size(); off += chunk) {
        const std::size_t n = std::min(chunk, unit.size() - off);
        if (m_options.baud) {
            if (!WaitUntil(m_txLine.Schedule(handedOver, n))) return false;
        } else if (bytewise && off > 0) {
            if (!WaitUntil(LineClock::now() + kBytewiseGap)) return false;
        }
        if (!WriteAll(unit.data() + off, n)) return false;
    }
    return true;
}

// The master is non-blocking: when the terminal's buffer is full (nobody reads the port) the
// thread waits for room, and a Stop ends that wait.
bool PtyDevice::WriteAll(const uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(m_master, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) return false;
        pollfd fds[2] = {{m_master, POLLOUT, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (StopRequested()) return false;
    }
    return true;
}

void PtyDevice::WaitForSlaveToDrain() {
    const auto giveUp = LineClock::now() + kDrainPatience;
    auto emptySince = LineClock::now();
    while (LineClock::now() < giveUp) {
        int waiting = 0;
        if (::ioctl(m_slave, FIONREAD, &waiting) != 0) return;
        const auto now = LineClock::now();
        if (waiting > 0)
            emptySince = now;
        else if (now - emptySince >= kDrainQuiet)
            return;
        if (!WaitUntil(now + kDrainPoll)) return;
    }
}

bool PtyDevice::WaitUntil(LineClock::time_point deadline) {
    for (;;) {
        if (StopRequested()) return false;
        const auto left = deadline - LineClock::now();
        if (left <= LineClock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd fd{m_wake[0], POLLIN, 0};
        ::ppoll(&fd, 1, &ts, nullptr);
    }
}

}  // namespace orlo::devsim
