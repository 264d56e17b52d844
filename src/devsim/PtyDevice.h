// The simulated device on a pseudo-terminal: the tool opens SlavePath() like any serial port,
// and a serving thread answers on the master side through a Device.
//
//   orlo::devsim::PtyDevice sim;                     // flash all 0xFF, no faults, unpaced
//   if (!sim.Start(&error)) ...;
//   open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY); // the tool's side
//   ...
//   sim.GetDevice().Stats().perCode[0x11];           // write blocks received
//   sim.Stop();                                      // immediate, also in the middle of a delay
//
// The device keeps its own descriptor of the slave open for its whole life, so the tool may open
// and close the port any number of times without the master seeing a hang-up. The slave is set
// raw (no echo, no line editing, 8 bits) at Start. Stop(), or the hang-up fault, closes both
// sides; the tool's descriptor then reads end-of-file or EIO.
//
// With `baud` set, both directions take the time an 8N1 line at that speed would: a received
// frame is acted on only when its last byte would have crossed the line, and the answer leaves
// in writes of about one millisecond of line time each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/Device.h"
#include "devsim/LinePacer.h"

namespace orlo::devsim {

enum class Direction {
    ToDevice,    // a frame the device received
    FromDevice,  // a unit the device sent: reply, text line, log-start or oversized frame
};

// Called on the serving thread for every frame received (once it is complete) and every unit
// sent (just before its first byte goes out).
using TraceFn = std::function<void(Direction, const std::vector<uint8_t>&)>;

struct PtyOptions {
    uint32_t baud = 0;     // pace both directions like an 8N1 line at this speed; 0: unpaced
    std::string linkPath;  // keep a symbolic link to the slave here while serving; empty: none
    TraceFn trace;
    // A frame left half-received for this long is forgotten, so a tool that died in the middle
    // of a frame does not garble the next run's first frame. 0: never.
    std::chrono::milliseconds partialTimeout{1000};
};

class PtyDevice {
  public:
    explicit PtyDevice(DeviceOptions device = {}, PtyOptions options = {});
    ~PtyDevice();  // Stop()
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Opens the pseudo-terminal, makes the link and starts serving. False with a reason when the
    // terminal cannot be opened or the link path is taken by something that is not a link.
    bool Start(std::string* error = nullptr);
    // Stops serving at once, closes both sides and removes the link. Safe to call twice.
    void Stop();
    // True from Start until Stop or the hang-up fault.
    bool Serving() const { return m_serving.load(); }

    const std::string& SlavePath() const { return m_slavePath; }
    const std::string& LinkPath() const { return m_options.linkPath; }

    Device& GetDevice() { return m_device; }
    const Device& GetDevice() const { return m_device; }
    std::vector<uint8_t> Flash() const { return m_device.Flash(); }
    bool SaveFlash(const std::string& path, std::string* error = nullptr) const {
        return m_device.SaveFlash(path, error);
    }

    // Queue units for the line; each goes out whole, between answers, never inside one.
    void PrintLine(const std::string& text);  // CR LF added when missing
    void SendLogStart();                      // 04 00 07 00 42 00 03
    void SendRaw(std::vector<uint8_t> bytes);

  private:
    void Serve();
    bool Send(const std::vector<uint8_t>& unit, bool bytewise);
    bool WriteAll(const uint8_t* data, std::size_t n);
    bool WaitUntil(LineClock::time_point deadline);
    bool StopRequested();
    void SendQueued();
    void Trace(Direction dir, const std::vector<uint8_t>& bytes);
    void WaitForSlaveToDrain();
    void CloseTerminal();

    Device m_device;
    PtyOptions m_options;
    std::string m_slavePath;
    int m_master = -1;
    int m_slave = -1;
    int m_wake[2] = {-1, -1};  // self-pipe: a byte in [1] ends any wait of the serving thread
    bool m_linked = false;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_serving{false};
    std::mutex m_queueMutex;
    std::deque<std::vector<uint8_t>> m_queue;  // units waiting to be sent
    LinePacer m_rxLine;
    LinePacer m_txLine;
};

}  // namespace orlo::devsim
