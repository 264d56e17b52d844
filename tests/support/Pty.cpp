#include "support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

namespace orlo::test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Pty::Pty() {
    std::array<char, 128> name{};
    if (::openpty(&m_master, &m_slave, name.data(), nullptr, nullptr) != 0) {
        m_error = std::string("openpty: ") + std::strerror(errno);
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = name.data();
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // The master is raw by itself (the terminal layer does no processing on it). Its termios
    // calls are not used: on Linux they change the slave's settings instead.
}

Pty::~Pty() {
    CloseSlave();
    CloseMaster();
}

bool Pty::Write(const std::vector<uint8_t>& bytes, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    }
    return true;
}

std::vector<uint8_t> Pty::Read(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::vector<uint8_t> out;
    std::array<uint8_t, 4096> buffer{};
    while (out.size() < count) {
        const ssize_t n =
            ::read(m_master, buffer.data(), std::min(buffer.size(), count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buffer.begin(), buffer.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) break;
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) break;
    }
    return out;
}

std::vector<uint8_t> Pty::Drain(std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    std::vector<uint8_t> out;
    std::array<uint8_t, 4096> buffer{};
    for (;;) {
        const ssize_t n = ::read(m_master, buffer.data(), buffer.size());
        if (n > 0) {
            out.insert(out.end(), buffer.begin(), buffer.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) break;
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) break;
    }
    return out;
}

bool Pty::WaitSlaveInput(int count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int waiting = 0;
        if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &waiting) != 0) return false;
        if (waiting >= count) return true;
        if (Clock::now() >= deadline) return false;
        // The terminal layer moves bytes from master to slave on its own schedule.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Pty::CloseSlave() {
    if (m_slave >= 0) ::close(m_slave);
    m_slave = -1;
}

void Pty::CloseMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

}  // namespace orlo::test
