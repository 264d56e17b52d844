// CComm: the one serial port of the dialog. Opens the port, runs one reader thread that copies
// received bytes into a 1024-byte ring and notifies the window synchronously after every read,
// and closes the port again without ever waiting for the reader.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialTransport.h"

namespace orlo {

class IWindow;

constexpr int RX_RING_SIZE = 1024;  // bytes in the receive ring
constexpr int RX_READ_MAX = 80;     // bytes taken by one read of the reader thread

struct Overlapped {
    uint32_t Offset = 0;
    uint32_t OffsetHigh = 0;
    std::shared_ptr<TransferEvent> hEvent;
};

// Lifetime contract: a reader may be waiting in its notification to m_hNotifyWnd when the
// object is destroyed. The destructor closes the port and then waits for every reader to end,
// so the owner must destroy (IWindow::Destroy) the notify window first: a pending or later
// notification to a destroyed window returns at once and the reader ends.
class CComm {
  public:
    explicit CComm(ISerialBackend* backend = nullptr);
    ~CComm();
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    // Opens COM m_nPort with the line parameters and starts the reader. False on failure.
    bool OpenPort();
    // Ends the connection; never waits for the reader (it may run inside the reader's own
    // notification). A frame already handed to the port goes out first, within a time bound.
    void ClosePort();
    // Hands bytes to the open port without blocking; false (touching nothing) when not open.
    bool Write(const uint8_t* data, std::size_t count);

    // "COM%d" for 0..4, "\\.\COM%d" from 5 on.
    static std::string BuildPortName(uint8_t port);

    // The open port's line has been lost (hang-up, device error); UI thread.
    bool LineLost() const { return m_hComm && m_hComm->LineLost(); }

    void SetBackend(ISerialBackend* backend) { m_backend = backend; }
    const SerialOpenResult& LastOpenResult() const { return m_lastOpen; }

    // Fields, in the order of the design.
    std::shared_ptr<ISerialTransport> m_hComm;  // empty when nothing is open
    std::atomic<int32_t> m_bConnected{0};
    IWindow* m_hNotifyWnd = nullptr;
    uint8_t m_rxRing[RX_RING_SIZE] = {};
    int32_t m_rxHead = 0;  // consumer index, advanced by the receive assembler only
    int32_t m_rxTail = 0;  // producer index, advanced by the reader only
    uint8_t m_nPort = 0;
    uint8_t m_byteSize = 0;
    uint8_t m_parity = 0;
    uint8_t m_stopBits = 0;
    uint32_t m_baudRate = 0;
    Overlapped m_olWrite;
    Overlapped m_olRead;

  private:
    // One open port as its reader sees it. The reader keeps its connection (and with it the
    // transport) alive until it ends; after ClosePort every call on that transport is a no-op.
    struct Connection;
    struct Reader {
        std::thread thread;
        std::shared_ptr<Connection> connection;
    };
    friend class CommTestAccess;  // tests look at the readers that are still running

    // The reader thread: waits for received bytes, reads at most 80 at a time into the ring
    // and notifies the window once per read. Returns 1 after a normal end, 0 when its wake-up
    // could not be prepared and 0xFFFFFFFF for a bad parameter.
    static unsigned CommReadThread(CComm* self, std::shared_ptr<Connection> connection);
    // Joins the readers that have ended (all of them, waiting, when `all`).
    void ReapFinishedReaders(bool all);
    // Readers started by this object that have not returned yet.
    int RunningReaders() const;
    // Time the bytes still queued for the device need on the line, plus a margin.
    std::chrono::milliseconds FlushBound(std::size_t pendingBytes) const;

    ISerialBackend* m_backend = nullptr;
    SerialOpenResult m_lastOpen;
    std::shared_ptr<Connection> m_connection;  // the open connection, empty when closed
    // Held by a reader for its whole run: a reader of a new connection starts reading only
    // after the reader of the previous one has ended, so two readers never fill the ring or
    // notify at the same time. The UI thread never takes it, so a reader waiting in its
    // notification cannot block the window.
    std::mutex m_readerMutex;
    std::vector<Reader> m_readers;  // the current reader and any still finishing
};

}  // namespace orlo
