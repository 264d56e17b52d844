// What crosses the wire of one port, seen from the command line: every frame written and every
// frame or text line received, reduced to its code, flash address and length (the data are never
// kept). It sits between the dialog's serial port object and the real transport, so the dialog
// and the wire are unchanged. Feeds the -v wire trace and the run's record (refusals, blocks).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial/SerialTransport.h"

namespace orlo::run {

enum class WireDirection { Sent, Received };

struct WireUnit {
    WireDirection direction = WireDirection::Sent;
    bool text = false;                // a text line, not a frame
    uint8_t code = 0;                 // byte [3] of a frame
    std::optional<uint32_t> address;  // bytes [4..7] of block, read and check frames
    std::size_t length = 0;           // bytes of the frame or line
};

// "write", "ACK", "read data", ... for a frame's code; `sent` tells commands from replies.
std::string WireCodeName(uint8_t code, bool sent);
// The phase a command belongs to: "start", "write", "verify", "read", "finish", "check",
// "sweep"; empty for anything else.
std::string WirePhase(uint8_t code);
// The frame a command line sentence talks about: "the start frame", "the write block at flash
// address 0x3C5000", "the check request", ...
std::string DescribeFrame(uint8_t code, std::optional<uint32_t> address);
// The flash address in bytes [4..7] of a frame of `length` bytes, for the codes that carry one.
std::optional<uint32_t> FrameAddress(const uint8_t* frame, std::size_t length);
// One line of the wire trace: "> 0x11 write addr=0x003C3000 len=4107".
std::string FormatWireUnit(const WireUnit& unit);

// A refusal by the device: the NAK and the frame it answered.
struct WireRefusal {
    std::string phase;
    std::optional<uint32_t> address;
    std::chrono::system_clock::time_point when;
};

// Thread-safe: Sent runs on the UI thread, Received on the port's reader thread.
class WireWatch {
  public:
    using Clock = std::chrono::steady_clock;
    // Called for every unit, on the thread that saw it, outside the watch's lock.
    explicit WireWatch(std::function<void(const WireUnit&)> trace = {});

    void Sent(const uint8_t* data, std::size_t count);
    void Received(const uint8_t* data, std::size_t count);

    std::vector<WireRefusal> Refusals() const;
    // Distinct block frames sent (write, verify, read requests; resends not counted).
    uint64_t Blocks() const;
    // Seconds from the first block sent to the last unit received after it (0: none).
    double BlockSeconds() const;

  private:
    void Emit(const WireUnit& unit);
    void Unit(const std::vector<uint8_t>& head, std::size_t length, bool text,
              WireDirection direction);

    std::function<void(const WireUnit&)> m_trace;
    mutable std::mutex m_mutex;
    // Receive assembly (reader thread only).
    std::vector<uint8_t> m_rxHead;  // the first bytes of the unit being received
    std::size_t m_rxLength = 0;     // bytes of it so far
    std::size_t m_rxExpected = 0;   // a frame's declared length (0: not known yet)
    bool m_rxText = false;
    // Under m_mutex.
    std::optional<WireUnit> m_lastSent;
    std::vector<WireRefusal> m_refusals;
    uint64_t m_blocks = 0;
    std::optional<Clock::time_point> m_firstBlock;
    Clock::time_point m_lastReply{};
};

// A serial backend whose transports report to a watch.
class WatchedBackend : public ISerialBackend {
  public:
    WatchedBackend(std::unique_ptr<ISerialBackend> inner, std::shared_ptr<WireWatch> watch);
    std::shared_ptr<ISerialTransport> Open(const std::string& portName,
                                           SerialOpenResult* result) override;
    std::shared_ptr<TransferEvent> CreateTransferEvent() override {
        return m_inner->CreateTransferEvent();
    }

  private:
    std::unique_ptr<ISerialBackend> m_inner;
    std::shared_ptr<WireWatch> m_watch;
};

}  // namespace orlo::run
