// CComm: the one serial port of the dialog. Opens the port, runs one reader thread that copies
// received bytes into a 1024-byte ring and notifies the window synchronously after every read,
// and closes the port again without ever waiting for the reader.
#pragma once

#include <atomic>
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

class CComm {
public:
    explicit CComm(ISerialBackend* backend = nullptr);
    ~CComm();
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    // Opens COM m_nPort with the line parameters and starts the reader. False on failure.
    bool OpenPort();
    // Ends the connection; never waits for the reader.
    void ClosePort();
    // Hands bytes to the open port without blocking; false (touching nothing) when not open.
    bool Write(const uint8_t* data, std::size_t count);

    // "COM%d" for 0..4, "\\.\COM%d" from 5 on.
    static std::string BuildPortName(uint8_t port);

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
    struct Connection;
    static unsigned CommReadThread(CComm* self, std::shared_ptr<Connection> connection);
    void ReapFinishedReaders(bool all);

    ISerialBackend* m_backend = nullptr;
    SerialOpenResult m_lastOpen;
    std::shared_ptr<Connection> m_connection;  // the current connection's stop flag and state
    std::mutex m_ringMutex;                    // keeps an ending reader and a new one apart
    struct Reader {
        std::thread thread;
        std::shared_ptr<Connection> connection;
    };
    std::vector<Reader> m_readers;  // the current reader and any still finishing
};

}  // namespace orlo
