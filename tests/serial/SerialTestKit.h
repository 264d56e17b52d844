// Shared pieces of the serial tests: a window that drains the receive ring on every
// notification (as the receive assembler does), a port table that maps COM names to
// pseudo-terminals, and a look at the port object's running readers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Resource.h"
#include "serial/Comm.h"
#include "support/FakeSerial.h"
#include "support/ScriptedWindow.h"
#include "window/EventLoop.h"

namespace orlo {

class CommTestAccess {
  public:
    static int RunningReaders(const CComm& comm) { return comm.RunningReaders(); }
};

}  // namespace orlo

namespace orlo::test {

// The UI side of a port: its own event loop and a window whose WM_COMM_RX handler drains the
// ring by the consumer rule and records how many bytes each notification found.
class RxWindow {
  public:
    RxWindow() {
        window.SetWndProc([this](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
            if (msg == WM_COMM_RX) OnCommRx();
            return 0;
        });
    }
    ~RxWindow() { window.Destroy(); }

    void Attach(CComm& comm) {
        m_comm = &comm;
        comm.m_hNotifyWnd = &window;
    }

    bool Pump(const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return loop.RunUntil(done, timeout);
    }
    bool PumpBytes(std::size_t count) {
        return Pump([&] { return received.size() >= count; });
    }

    EventLoop loop;
    ScriptedWindow window{loop};
    std::vector<int> readSizes;                          // bytes per notification, in order
    std::vector<int> tailOnEntry;                        // m_rxTail as each notification found it
    std::vector<std::pair<int, int>> indicesAfterDrain;  // (m_rxHead, m_rxTail) on leaving
    std::vector<uint8_t> received;                       // every byte, in order
    // Runs on the UI thread after each drain, with the notification's number (0 = first).
    std::function<void(std::size_t)> afterDrain;

  private:
    void OnCommRx() {
        tailOnEntry.push_back(m_comm->m_rxTail);
        int n = 0;
        while (m_comm->m_rxHead != m_comm->m_rxTail) {
            m_comm->m_rxHead %= RX_RING_SIZE;
            received.push_back(m_comm->m_rxRing[m_comm->m_rxHead]);
            ++m_comm->m_rxHead;
            ++n;
        }
        readSizes.push_back(n);
        indicesAfterDrain.emplace_back(m_comm->m_rxHead, m_comm->m_rxTail);
        if (afterDrain) afterDrain(readSizes.size() - 1);
    }

    CComm* m_comm = nullptr;
};

// A port table with one COM name per path.
inline FakePortTable TableFor(const std::vector<std::pair<std::string, std::string>>& entries) {
    FakePortTable table;
    for (const auto& [com, path] : entries) {
        PortInfo port;
        port.comName = com;
        port.devicePath = path;
        table.ports.push_back(port);
    }
    return table;
}

inline std::vector<uint8_t> Pattern(std::size_t count, uint8_t seed = 0) {
    std::vector<uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + i / 256);
    return out;
}

// 115200 baud, 8 data bits, no parity, one stop bit, as the Open button sets them.
inline void SetDeviceLine(CComm& comm, uint8_t port) {
    comm.m_nPort = port;
    comm.m_baudRate = 115200;
    comm.m_byteSize = 8;
    comm.m_parity = 0;
    comm.m_stopBits = 0;
}

}  // namespace orlo::test
