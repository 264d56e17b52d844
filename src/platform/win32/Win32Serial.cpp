#include "win32/Win32Serial.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <mutex>
#include <vector>

#include "win32/Win32Errors.h"

namespace orlo {

namespace {

constexpr DWORD kDriverQueueBytes = 4096;  // asked-for size of the driver's input and output queues
// Aborts pending transfers and discards both driver queues (15).
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kWriteTimeoutScale = 19200;   // ms per byte times baud
constexpr DWORD kFailedWaitRestMs = 50;       // rest after a failed wait (device gone), in ms
constexpr DWORD kCancelledTransferMs = 1000;  // longest wait for a cancelled transfer to end, ms

const std::string kDeviceNamespace = "\\\\.\\";

// A manual-reset, unsignalled, unnamed event; null when it cannot be created.
HANDLE NewManualResetEvent() {
    return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

struct Win32TransferEvent : TransferEvent {
    explicit Win32TransferEvent(HANDLE h) : handle(h) {}
    ~Win32TransferEvent() { ::CloseHandle(handle); }
    HANDLE handle;
};

// One transfer handed to the driver. The system writes into the OVERLAPPED (and reads the
// bytes) until the transfer has ended, so both stay put until then.
struct Transfer {
    OVERLAPPED ov{};
    std::vector<uint8_t> bytes;
    DWORD mask = 0;  // the event mask of a WaitCommEvent

    explicit Transfer(HANDLE event) { ov.hEvent = event; }
    ~Transfer() {
        if (ov.hEvent != nullptr) ::CloseHandle(ov.hEvent);
    }
    bool Ended() const { return HasOverlappedIoCompleted(&ov); }
    // Waits up to `ms` for the transfer to end; true when it has.
    bool AwaitEnd(DWORD ms) const {
        if (Ended()) return true;
        if (ov.hEvent != nullptr) ::WaitForSingleObject(ov.hEvent, ms);
        return Ended();
    }
};

// Lets a transfer go. One the system still holds after Close and a wait cannot be freed: it is
// left to the end of the process rather than have the system write into freed memory.
void Release(std::unique_ptr<Transfer> transfer) {
    if (transfer && !transfer->AwaitEnd(kCancelledTransferMs)) (void)transfer.release();
}

// One open port. The reader thread uses ArmReader, WaitForData, BytesWaiting and Read; the UI
// thread uses Configure, Write, WakeReader, FlushOutput, PendingOutput, DropDtr, Purge and
// Close. The mutex guards the handle: once Close has closed it under the mutex, no call uses
// it again, so a later open that gets the same handle value is never touched by an old reader.
class Win32SerialTransport final : public ISerialTransport {
  public:
    Win32SerialTransport(HANDLE port, HANDLE readEvent, HANDLE wakeEvent)
        : m_port(port), m_readEvent(readEvent), m_wakeEvent(wakeEvent) {}

    ~Win32SerialTransport() override {
        Close();
        Release(std::move(m_wait));
        for (auto& w : m_writes) Release(std::move(w));
        if (m_readEvent != nullptr) ::CloseHandle(m_readEvent);
        ::CloseHandle(m_wakeEvent);
    }

    bool Configure(const LineSettings& settings) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return false;
        COMMTIMEOUTS timeouts = PortTimeouts(settings.baudRate);
        ::SetCommTimeouts(m_port, &timeouts);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        // Without the driver's state there is nothing to keep unchanged: a device that reports
        // none is not a serial port.
        if (!::GetCommState(m_port, &dcb)) return false;
        ApplyLineSettings(settings, &dcb);
        return ::SetCommState(m_port, &dcb) != FALSE;
    }

    bool ArmReader() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return true;  // the next wait says so
        if (!m_wait) {
            HANDLE event = NewManualResetEvent();
            if (event == nullptr) return false;
            m_wait = std::make_unique<Transfer>(event);
        }
        // The receipt of a character is the only event the waits report. A failure shows in
        // the waits themselves, which then fail and are retried.
        ::SetCommMask(m_port, EV_RXCHAR);
        return true;
    }

    bool WaitForData() override {
        bool ended = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed || !m_wait) return false;
            if (!m_waitPending && QueuedLocked() > 0) return true;  // nothing to wait for
            if (!m_waitPending) {
                // The overlapped form: a blocking WaitCommEvent on a handle opened for
                // overlapped transfers may report completion before the event has happened.
                m_wait->mask = 0;
                HANDLE event = m_wait->ov.hEvent;
                m_wait->ov = OVERLAPPED{};
                m_wait->ov.hEvent = event;
                ::ResetEvent(event);
                if (::WaitCommEvent(m_port, &m_wait->mask, &m_wait->ov)) {
                    ended = true;
                } else if (::GetLastError() == ERROR_IO_PENDING) {
                    m_waitPending = true;
                } else {
                    // The device has gone or the mask was cleared by the close: rest, so the
                    // reader does not spin while it retries.
                    return Rest();
                }
            }
        }
        if (!ended) {
            HANDLE events[2] = {m_wait->ov.hEvent, m_wakeEvent};
            // Woken: the wait stays pending and the next call takes it up again.
            if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) return false;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) return false;
            DWORD unused = 0;
            m_waitPending = false;
            if (!::GetOverlappedResult(m_port, &m_wait->ov, &unused, FALSE)) return Rest();
        }
        // Mask 0: the wait was ended by a change of the event mask (the close).
        return (m_wait->mask & EV_RXCHAR) != 0;
    }

    int BytesWaiting() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed ? 0 : QueuedLocked();
    }

    int Read(uint8_t* buffer, int count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || count <= 0) return 0;
        m_readOv = OVERLAPPED{};
        m_readOv.hEvent = m_readEvent;
        DWORD got = 0;
        if (!::ReadFile(m_port, buffer, static_cast<DWORD>(count), nullptr, &m_readOv) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return 0;
        // The port's read time-outs make the read end at once with what has arrived.
        if (!::GetOverlappedResult(m_port, &m_readOv, &got, TRUE)) return 0;
        return static_cast<int>(got);
    }

    bool Write(const uint8_t* data, std::size_t count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return false;
        ReapWrites();
        if (count == 0) return true;
        HANDLE event = NewManualResetEvent();
        if (event == nullptr) return false;
        // Each transfer has its own OVERLAPPED and its own copy of the bytes until it ends: a
        // second frame may be handed over while the first is still on its way.
        auto transfer = std::make_unique<Transfer>(event);
        transfer->bytes.assign(data, data + count);
        if (::WriteFile(m_port, transfer->bytes.data(), static_cast<DWORD>(count), nullptr,
                        &transfer->ov))
            return true;  // already with the driver
        if (::GetLastError() != ERROR_IO_PENDING) return false;
        m_writes.push_back(std::move(transfer));
        return true;
    }

    void WakeReader() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Mask 0 ends a pending WaitCommEvent; the wake-up event ends the reader's wait for it
        // even where a driver does not end the wait on a change of the mask.
        if (!m_closed) ::SetCommMask(m_port, 0);
        ::SetEvent(m_wakeEvent);
    }

    bool FlushOutput(std::chrono::milliseconds bound) override {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (const auto& w : m_writes) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (!w->AwaitEnd(static_cast<DWORD>(std::max<long long>(left.count(), 0))))
                return false;
        }
        ReapWrites();
        return true;
    }

    std::size_t PendingOutput() override {
        ReapWrites();
        std::size_t bytes = 0;
        for (const auto& w : m_writes) bytes += w->bytes.size();
        return bytes;
    }

    std::size_t OutputInDriver() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed ? 0 : StatusLocked().cbOutQue;
    }

    void DropDtr() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_closed) ::EscapeCommFunction(m_port, CLRDTR);
    }

    void Purge() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) return;
            ::PurgeComm(m_port, kPurgeAll);
        }
        // The aborted writes end at once; their buffers can go when they have.
        for (const auto& w : m_writes) w->AwaitEnd(kCancelledTransferMs);
        ReapWrites();
    }

    void Close() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) return;
            m_closed = true;
            // Closing the handle ends every transfer still pending on it.
            ::CloseHandle(m_port);
            m_port = INVALID_HANDLE_VALUE;
            ::SetEvent(m_wakeEvent);
        }
        for (const auto& w : m_writes) w->AwaitEnd(kCancelledTransferMs);
        ReapWrites();
    }

  private:
    // Received bytes waiting in the driver. Also clears a line error (framing, parity,
    // overrun); the bytes go on as they came.
    int QueuedLocked() {
        return static_cast<int>(std::min<DWORD>(StatusLocked().cbInQue, INT_MAX));
    }
    // Both queues of the driver (all zero when it cannot say); also clears a line error.
    COMSTAT StatusLocked() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(m_port, &errors, &status)) return COMSTAT{};
        return status;
    }

    bool Rest() {
        ::WaitForSingleObject(m_wakeEvent, kFailedWaitRestMs);
        return false;
    }

    // Lets the writes go that have ended. Only the UI thread (and the destructor) touches them.
    void ReapWrites() {
        std::erase_if(m_writes, [](const std::unique_ptr<Transfer>& w) { return w->Ended(); });
    }

    std::mutex m_mutex;
    HANDLE m_port;
    HANDLE m_readEvent;  // the read transfer's event (the connection's read event)
    HANDLE m_wakeEvent;  // auto-reset: ends one wait of the reader
    bool m_closed = false;
    OVERLAPPED m_readOv{};
    std::unique_ptr<Transfer> m_wait;  // the reader's WaitCommEvent, with the reader's own event
    bool m_waitPending = false;
    std::deque<std::unique_ptr<Transfer>> m_writes;  // handed to the driver, not yet ended
};

}  // namespace

COMMTIMEOUTS PortTimeouts(uint32_t baudRate) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;  // with both read totals 0: return at once
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = baudRate == 0 ? 0 : kWriteTimeoutScale / baudRate;
    t.WriteTotalTimeoutConstant = 0;
    return t;
}

void ApplyLineSettings(const LineSettings& settings, DCB* dcb) {
    dcb->BaudRate = settings.baudRate;
    dcb->ByteSize = settings.byteSize;
    dcb->Parity = settings.parity;
    dcb->StopBits = settings.stopBits;
    dcb->XonChar = static_cast<char>(settings.xonChar);
    dcb->XoffChar = static_cast<char>(settings.xoffChar);
    dcb->XonLim = settings.xonLim;
    dcb->XoffLim = settings.xoffLim;
}

std::string PortDisplayName(const std::string& portName) {
    if (portName.compare(0, kDeviceNamespace.size(), kDeviceNamespace) == 0)
        return portName.substr(kDeviceNamespace.size());
    return portName;
}

std::shared_ptr<ISerialTransport> Win32SerialBackend::Open(const std::string& portName,
                                                           SerialOpenResult* result) {
    SerialOpenResult local;
    SerialOpenResult& out = result ? *result : local;
    out = {};
    const std::string device = PortDisplayName(portName);

    // Exclusive (no sharing), overlapped: the reader reads while the window writes.
    HANDLE port =
        ::CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        out = SerialErrorFromWin32(::GetLastError(), device);
        return nullptr;
    }
    ::SetCommMask(port, EV_RXCHAR);
    ::SetupComm(port, kDriverQueueBytes, kDriverQueueBytes);

    HANDLE readEvent = NewManualResetEvent();
    HANDLE wakeEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (readEvent == nullptr || wakeEvent == nullptr) {
        const DWORD err = ::GetLastError();
        if (readEvent != nullptr) ::CloseHandle(readEvent);
        if (wakeEvent != nullptr) ::CloseHandle(wakeEvent);
        ::CloseHandle(port);
        out = SerialErrorFromWin32(err, device, "set up");
        return nullptr;
    }
    return std::make_shared<Win32SerialTransport>(port, readEvent, wakeEvent);
}

std::shared_ptr<TransferEvent> Win32SerialBackend::CreateTransferEvent() {
    HANDLE event = NewManualResetEvent();
    if (event == nullptr) return nullptr;
    return std::make_shared<Win32TransferEvent>(event);
}

}  // namespace orlo
