#include "serial/Comm.h"

#include <algorithm>
#include <system_error>

#include "app/Resource.h"
#include "app/Window.h"

namespace orlo {

namespace {

constexpr uint8_t XON_CHAR = 0x11;   // DC1
constexpr uint8_t XOFF_CHAR = 0x13;  // DC3
constexpr uint16_t XON_LIMIT = 100;  // bytes
constexpr uint16_t XOFF_LIMIT = 100;
constexpr int FIRST_DEVICE_NAMESPACE_PORT = 5;  // from COM5 on the port name has the \\.\ prefix
constexpr uint32_t FLUSH_MARGIN_MS = 250;       // ms on top of the wire time (adapter latency)

constexpr unsigned READER_DONE = 1;
constexpr unsigned READER_SETUP_FAILED = 0;
constexpr unsigned READER_BAD_PARAMETER = 0xFFFFFFFF;

}  // namespace

struct CComm::Connection {
    std::shared_ptr<ISerialTransport> transport;
    std::atomic<bool> stopped{false};   // ClosePort ended this connection
    std::atomic<bool> finished{false};  // its reader has returned and can be joined at once
};

CComm::CComm(ISerialBackend* backend) : m_backend(backend) {}

CComm::~CComm() {
    if (m_bConnected.load()) ClosePort();
    ReapFinishedReaders(true);
}

std::string CComm::BuildPortName(uint8_t port) {
    return (port < FIRST_DEVICE_NAMESPACE_PORT ? "COM" : "\\\\.\\COM") + std::to_string(port);
}

bool CComm::OpenPort() {
    ReapFinishedReaders(false);
    const std::string name = BuildPortName(m_nPort);
    if (m_hComm) {
        // A second open would leave the first port and its reader without an owner.
        m_lastOpen = {SerialError::Busy,
                      "A serial port is already open; close it before opening " + name + "."};
        return false;
    }
    if (m_backend == nullptr) {
        m_lastOpen = {SerialError::Other, "No serial ports are available to open " + name + "."};
        return false;
    }

    m_lastOpen = {};
    std::shared_ptr<ISerialTransport> port = m_backend->Open(name, &m_lastOpen);
    if (!port) {
        if (m_lastOpen.error == SerialError::None)
            m_lastOpen = {SerialError::Other, "The serial port " + name + " could not be opened."};
        return false;
    }

    port->Purge();  // nothing left over from before the open

    LineSettings settings;
    settings.baudRate = m_baudRate;
    settings.byteSize = m_byteSize;
    settings.parity = m_parity;
    settings.stopBits = m_stopBits;
    settings.xonChar = XON_CHAR;
    settings.xoffChar = XOFF_CHAR;
    settings.xonLim = XON_LIMIT;
    settings.xoffLim = XOFF_LIMIT;
    if (m_baudRate == 0 || !port->Configure(settings)) {
        m_bConnected = 0;
        port->Close();
        m_lastOpen = {SerialError::BadSettings,
                      "The serial port " + name + " refused the line settings."};
        return false;
    }

    auto connection = std::make_shared<Connection>();
    connection->transport = port;
    m_hComm = port;
    m_connection = connection;
    m_bConnected = 1;  // before the reader starts: it runs while the flag is set
    try {
        m_readers.reserve(m_readers.size() + 1);
        m_readers.push_back({std::thread(&CComm::CommReadThread, this, connection), connection});
    } catch (const std::exception&) {
        m_bConnected = 0;
        connection->stopped = true;
        port->Close();
        m_hComm.reset();
        m_connection.reset();
        m_lastOpen = {SerialError::Other,
                      "The serial port " + name + " could not be opened: no reader thread."};
        return false;
    }
    return true;
}

void CComm::ClosePort() {
    if (m_hComm) {
        m_bConnected = 0;
        if (m_connection) m_connection->stopped = true;
        m_hComm->WakeReader();  // a pending wait of the reader ends at once
        // A frame already handed to the port (the application finish frame) goes out in full
        // before the line is dropped; the bound keeps a vanished device from holding the close.
        m_hComm->FlushOutput(FlushBound(m_hComm->PendingOutput()));
        m_hComm->DropDtr();
        m_hComm->Purge();
        m_hComm->Close();
        m_hComm.reset();
        m_connection.reset();
    }
    m_olRead.hEvent.reset();
    m_olWrite.hEvent.reset();
}

bool CComm::Write(const uint8_t* data, std::size_t count) {
    if (!m_hComm) return false;
    return m_hComm->Write(data, count);
}

std::chrono::milliseconds CComm::FlushBound(std::size_t pendingBytes) const {
    // Start bit, data bits, parity bit and up to two stop bits per character.
    const uint64_t bitsPerChar = 1u + m_byteSize + (m_parity != 0 ? 1u : 0u) + 2u;
    const uint64_t baud = std::max<uint32_t>(m_baudRate, 1);
    const uint64_t wireMs = (pendingBytes * bitsPerChar * 1000 + baud - 1) / baud;
    return std::chrono::milliseconds(wireMs + wireMs / 4 + FLUSH_MARGIN_MS);
}

void CComm::ReapFinishedReaders(bool all) {
    for (auto it = m_readers.begin(); it != m_readers.end();) {
        if (all || it->connection->finished.load()) {
            if (it->thread.joinable()) it->thread.join();
            it = m_readers.erase(it);
        } else {
            ++it;
        }
    }
}

int CComm::RunningReaders() const {
    return static_cast<int>(std::count_if(m_readers.begin(), m_readers.end(), [](const Reader& r) {
        return !r.connection->finished.load();
    }));
}

unsigned CComm::CommReadThread(CComm* self, std::shared_ptr<Connection> connection) {
    if (self == nullptr || !connection || !connection->transport) return READER_BAD_PARAMETER;

    // Marks the reader finished when it returns, after it has let go of the reader mutex.
    struct FinishMark {
        Connection& c;
        ~FinishMark() { c.finished = true; }
    } finishMark{*connection};
    std::lock_guard<std::mutex> slot(self->m_readerMutex);

    ISerialTransport& port = *connection->transport;
    IWindow* window = self->m_hNotifyWnd;
    if (!port.ArmReader()) {
        // The port stays open and connected, but nothing is received until it is reopened.
        if (window != nullptr)
            window->ThreadMessageBox("Failed to create event for thread!", "comm Error!",
                                     MB_ICONWARNING);
        return READER_SETUP_FAILED;
    }

    uint8_t buffer[RX_READ_MAX];
    while (self->m_bConnected.load() && !connection->stopped.load()) {
        if (!port.WaitForData()) continue;  // woken, failed or hung up: test the flags again
        // Drain the driver without a new wait: bytes that arrived during a notification are
        // read as soon as it returns.
        while (!connection->stopped.load()) {
            const int waiting = port.BytesWaiting();
            if (waiting <= 0) break;
            const int got = port.Read(buffer, std::min(waiting, RX_READ_MAX));
            if (got <= 0) break;
            for (int i = 0; i < got; ++i) {
                self->m_rxTail %= RX_RING_SIZE;
                self->m_rxRing[self->m_rxTail] = buffer[i];
                ++self->m_rxTail;
            }
            // Synchronous: the window drains the ring before this returns, which is what keeps
            // the reader and the window apart without a lock on the ring.
            if (window != nullptr) window->SendMessage(WM_COMM_RX, 0, 0);
        }
    }
    return READER_DONE;
}

}  // namespace orlo
