#include "posix/PosixSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "posix/PortAccess.h"
#include "posix/SerialErrors.h"

namespace orlo {

namespace {

constexpr int kHangupRestMs = 50;          // ms the reader rests when the port reports a hang-up
constexpr std::size_t kWriteChunk = 4096;  // bytes handed to one write() call, at most
constexpr auto kOutQueuePoll = std::chrono::milliseconds(2);  // re-check of the driver queue

struct SpeedEntry {
    uint32_t baud;
    speed_t code;
};

// Line speeds the port accepts; any other speed is refused.
constexpr std::array<SpeedEntry, 30> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

// Everything that would alter, hold back or answer a received byte.
constexpr tcflag_t kInputProcessing =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
// Line editing, echo and signals.
constexpr tcflag_t kLocalProcessing = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;

void SignalEventFd(int fd) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
}

// One open port. The reader thread uses WaitForData, BytesWaiting and Read; the UI thread
// uses Write, WakeReader, FlushOutput, DropDtr, Purge and Close; the writer thread drains the
// queue Write fills.
class PosixSerialTransport final : public ISerialTransport {
  public:
    PosixSerialTransport(int fd, int writerWakeFd, int readerWakeFd)
        : m_fd(fd), m_writerWakeFd(writerWakeFd), m_readerWakeFd(readerWakeFd) {}
    ~PosixSerialTransport() override {
        Close();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pollers == 0) CloseDescriptorsLocked();
    }

    // Starts the writer thread; false when it cannot be started (the port is then closed).
    bool StartWriter() {
        try {
            m_writer = std::thread(&PosixSerialTransport::WriterLoop, this);
            return true;
        } catch (const std::system_error&) {
            Close();
            return false;
        }
    }

    bool Configure(const LineSettings& settings) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return false;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) return false;
        if (!ApplyLineSettings(settings, &tio)) return false;
        return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }

    bool ArmReader() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || m_readerWakeFd >= 0) return true;  // closed: the next wait says so
        m_readerWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        return m_readerWakeFd >= 0;
    }

    bool WaitForData() override {
        int fd = -1;
        int wake = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed || m_readerWakeFd < 0) return false;
            // While a poller is counted, Close leaves the descriptors open, so their numbers
            // cannot be reused by a later open while this thread still uses them.
            ++m_pollers;
            fd = m_fd;
            wake = m_readerWakeFd;
        }

        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        bool data = false;
        bool rest = false;
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            rest = errno != EINTR;
        } else if (fds[1].revents & POLLIN) {
            DrainEventFd(wake);  // woken: back to the flag test
        } else if (fds[0].revents != 0) {
            int waiting = 0;
            if ((fds[0].revents & POLLIN) && ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0)
                data = true;
            else
                rest = true;  // hang-up or error with nothing to read (device gone, peer closed)
            if (rest) m_lineLost = true;
        }
        if (rest) {
            // Polling again at once would spin the CPU for as long as the device stays away;
            // rest a moment (a wake-up ends the rest) and let the reader retry.
            pollfd w{wake, POLLIN, 0};
            if (::poll(&w, 1, kHangupRestMs) > 0) DrainEventFd(wake);
        }

        std::lock_guard<std::mutex> lock(m_mutex);
        --m_pollers;
        if (m_closed) {
            if (m_pollers == 0) CloseDescriptorsLocked();
            return false;
        }
        return data;
    }

    bool LineLost() const override { return m_lineLost.load(); }

    int BytesWaiting() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return 0;
        int waiting = 0;
        if (::ioctl(m_fd, FIONREAD, &waiting) != 0) return 0;
        return std::max(waiting, 0);
    }

    int Read(uint8_t* buffer, int count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || count <= 0) return 0;
        const ssize_t n = ::read(m_fd, buffer, static_cast<std::size_t>(count));
        return n > 0 ? static_cast<int>(n) : 0;  // nothing yet (EAGAIN) or gone (EIO): 0
    }

    bool Write(const uint8_t* data, std::size_t count) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) return false;
            m_txQueue.insert(m_txQueue.end(), data, data + count);
        }
        m_cv.notify_all();
        return true;
    }

    void WakeReader() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_readerWakeFd >= 0) SignalEventFd(m_readerWakeFd);
    }

    bool FlushOutput(std::chrono::milliseconds bound) override {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_cv.wait_until(lock, deadline, [&] { return m_closed || m_txQueue.empty(); }))
                return false;
        }
        // The writer has handed everything to the driver; wait for the driver to send it.
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_closed || DriverQueuedLocked() == 0) return true;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(kOutQueuePoll, deadline - now));
        }
    }

    std::size_t PendingOutput() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return 0;
        return m_txQueue.size() + DriverQueuedLocked();
    }

    std::size_t OutputInDriver() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed ? 0 : DriverQueuedLocked();
    }

    void DropDtr() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
        int bits = TIOCM_DTR;
        ::ioctl(m_fd, TIOCMBIC, &bits);  // a pseudo-terminal has no DTR line: ignored
    }

    void Purge() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) return;
            ::tcflush(m_fd, TCIFLUSH);
            // Output is discarded only where the driver still holds some (a flush that ran
            // out of time): on a pseudo-terminal the driver reports nothing queued while the
            // peer has not yet taken the bytes, and discarding would lose a frame already sent.
            if (DriverQueuedLocked() > 0) ::tcflush(m_fd, TCOFLUSH);
            m_txQueue.clear();
            ++m_purgeGeneration;
        }
        m_cv.notify_all();
    }

    void Close() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) return;
            m_closed = true;
            m_txQueue.clear();
            ++m_purgeGeneration;
            SignalEventFd(m_writerWakeFd);
            if (m_readerWakeFd >= 0) SignalEventFd(m_readerWakeFd);
        }
        m_cv.notify_all();
        // The writer never blocks: its writes do not block and its wait for room ends on the
        // wake-up just signalled.
        if (m_writer.joinable()) m_writer.join();

        std::lock_guard<std::mutex> lock(m_mutex);
        // Give up the exclusive use at once, so the port can be opened again straight away
        // even while the reader is still leaving poll() on these descriptors.
        ::ioctl(m_fd, TIOCNXCL);
        ::flock(m_fd, LOCK_UN);
        if (m_pollers == 0) CloseDescriptorsLocked();  // otherwise the last poller closes them
    }

  private:
    // Bytes the driver still holds to send (TIOCOUTQ); 0 when it cannot say. Under m_mutex,
    // port open.
    std::size_t DriverQueuedLocked() const {
        int queued = 0;
        if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
        return static_cast<std::size_t>(queued);
    }

    void CloseDescriptorsLocked() {
        if (m_fd >= 0) ::close(m_fd);
        if (m_writerWakeFd >= 0) ::close(m_writerWakeFd);
        if (m_readerWakeFd >= 0) ::close(m_readerWakeFd);
        m_fd = m_writerWakeFd = m_readerWakeFd = -1;
    }

    // Drains the queue in order. Bytes leave the queue only once write() has taken them, so
    // nothing is lost; a device that refuses every byte (gone) has the queue dropped instead.
    void WriterLoop() {
        std::array<uint8_t, kWriteChunk> chunk{};
        const int fd = m_fd;  // stays open until Close has joined this thread
        for (;;) {
            std::size_t n = 0;
            uint64_t generation = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [&] { return m_closed || !m_txQueue.empty(); });
                if (m_closed) return;
                n = std::min(m_txQueue.size(), chunk.size());
                std::copy_n(m_txQueue.begin(), n, chunk.begin());
                generation = m_purgeGeneration;
            }

            const ssize_t written = ::write(fd, chunk.data(), n);
            const int err = errno;
            if (written > 0) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (generation == m_purgeGeneration)  // not purged meanwhile
                        m_txQueue.erase(m_txQueue.begin(), m_txQueue.begin() + written);
                }
                m_cv.notify_all();
                continue;
            }
            if (written < 0 && err == EINTR) continue;
            if (written < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
                // Wait for room; Close ends the wait through the wake-up descriptor.
                pollfd fds[2] = {{fd, POLLOUT, 0}, {m_writerWakeFd, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) ||
                    (fds[0].revents & POLLOUT))
                    continue;
                // A hang-up or an error instead of room: the line is gone.
            }
            // The device takes no more bytes (gone, or the line hung up): drop what is queued,
            // so neither a flush nor the close waits for it.
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (generation == m_purgeGeneration) m_txQueue.clear();
            }
            m_cv.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;  // writer: work or close; flushers: the queue emptied
    int m_fd;
    int m_writerWakeFd;
    int m_readerWakeFd;
    bool m_closed = false;
    int m_pollers = 0;  // reader threads inside WaitForData's poll()
    std::atomic<bool> m_lineLost{false};  // set by the reader, read by the UI thread
    std::deque<uint8_t> m_txQueue;
    uint64_t m_purgeGeneration = 0;
    std::thread m_writer;
};

}  // namespace

bool ApplyLineSettings(const LineSettings& settings, termios* tio) {
    // Raw 8-bit transfer: every byte passes unaltered in both directions.
    tio->c_iflag &= ~kInputProcessing;
    tio->c_oflag &= ~OPOST;
    tio->c_lflag &= ~kLocalProcessing;
    tio->c_cflag |= CLOCAL | CREAD;
    // No hardware flow control either: the device drives no handshake lines.
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);

    switch (settings.byteSize) {
        case 5:
            tio->c_cflag |= CS5;
            break;
        case 6:
            tio->c_cflag |= CS6;
            break;
        case 7:
            tio->c_cflag |= CS7;
            break;
        case 8:
            tio->c_cflag |= CS8;
            break;
        default:
            return false;
    }
    switch (settings.parity) {  // the serial settings' codes: none, odd, even, mark, space
        case 0:
            break;
        case 1:
            tio->c_cflag |= PARENB | PARODD;
            break;
        case 2:
            tio->c_cflag |= PARENB;
            break;
        case 3:
            tio->c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            tio->c_cflag |= PARENB | CMSPAR;
            break;
        default:
            return false;
    }
    switch (settings.stopBits) {  // codes: one, one and a half, two
        case 0:
            break;
        case 1:  // termios has no one-and-a-half; two stop bits is the nearest safe choice
        case 2:
            tio->c_cflag |= CSTOPB;
            break;
        default:
            return false;
    }

    // The flow-control characters are set, but neither direction's flow control is on.
    // (termios has no counterpart of the XON/XOFF limits.)
    tio->c_cc[VSTART] = settings.xonChar;
    tio->c_cc[VSTOP] = settings.xoffChar;
    tio->c_cc[VMIN] = 0;  // reads return at once with what has arrived
    tio->c_cc[VTIME] = 0;

    const auto speed = std::find_if(kSpeeds.begin(), kSpeeds.end(), [&](const SpeedEntry& s) {
        return s.baud == settings.baudRate;
    });
    if (speed == kSpeeds.end()) return false;
    return ::cfsetispeed(tio, speed->code) == 0 && ::cfsetospeed(tio, speed->code) == 0;
}

std::shared_ptr<ISerialTransport> PosixSerialBackend::Open(const std::string& portName,
                                                           SerialOpenResult* result) {
    SerialOpenResult local;
    SerialOpenResult& out = result ? *result : local;
    out = {};

    static const std::string kDeviceNamespace = "\\\\.\\";
    std::string name = portName;
    if (name.compare(0, kDeviceNamespace.size(), kDeviceNamespace) == 0)
        name = name.substr(kDeviceNamespace.size());

    std::string path;
    std::string device;  // the port as messages name it
    if (!name.empty() && name.front() == '/') {
        path = name;
        device = name;
    } else {
        if (m_ports != nullptr) path = m_ports->Resolve(name);
        if (path.empty()) {
            out = DescribeOpenFailure(ENOENT, {}, name, "opened");
            return nullptr;
        }
        device = name + " (" + path + ")";
    }

    // The terminals and consoles of the system itself are character devices of a tty driver
    // too, but never a port a device is plugged into: /dev/tty (this program's own terminal),
    // /dev/console, /dev/ptmx and the virtual consoles /dev/tty0 .. /dev/tty63.
    struct stat node {};
    const bool exists = ::stat(path.c_str(), &node) == 0;
    if (exists && S_ISCHR(node.st_mode)) {
        const unsigned maj = major(node.st_rdev);
        const unsigned min = minor(node.st_rdev);
        if ((maj == 5 && min <= 2) || (maj == 4 && min < 64)) {
            out = {SerialError::NotASerialDevice,
                   device + " is not a serial port: it is a terminal or console of this system."};
            return nullptr;
        }
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (exists && (err == ENXIO || err == ENODEV)) {
            // The node is there; the driver has no device behind it.
            out = {SerialError::NotFound, device + " exists, but no device is behind it: it is "
                                                   "not a serial port, or its adapter is gone."};
            return nullptr;
        }
        out = DescribeOpenFailure(err, path, device, "opened");
        return nullptr;
    }
    auto fail = [&](int err, const char* action) -> std::shared_ptr<ISerialTransport> {
        ::close(fd);
        out = DescribeOpenFailure(err, path, device, action);
        return nullptr;
    };
    if (!::isatty(fd)) return fail(ENOTTY, "opened");
    // The lock first: if another program holds the port, its exclusive mode stays untouched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno, "locked");
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno, "opened");

    // Both wake-up descriptors are made here, so that a process out of descriptors hears it
    // from the open, for this port, rather than from a reader that cannot start.
    const int writerWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int readerWake = writerWake < 0 ? -1 : ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (readerWake < 0) {
        const int err = errno;
        if (writerWake >= 0) ::close(writerWake);
        ::ioctl(fd, TIOCNXCL);
        return fail(err, "set up");
    }
    auto transport = std::make_shared<PosixSerialTransport>(fd, writerWake, readerWake);
    if (!transport->StartWriter()) {
        out = SerialErrorFromErrno(ENOMEM, device, "set up");
        return nullptr;
    }
    return transport;
}

}  // namespace orlo
