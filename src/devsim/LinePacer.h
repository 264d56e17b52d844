// Time on an 8N1 serial line, so the simulated device can pace its pseudo-terminal like a real
// line: each byte takes 10 bit times (start bit, 8 data bits, stop bit). Pure arithmetic; the
// caller supplies the clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace orlo::devsim {

using LineClock = std::chrono::steady_clock;

constexpr uint32_t kBitsPerByte = 10;  // 8N1: start + 8 data + stop

// Time `bytes` bytes occupy the line at `baud`, rounded up to whole nanoseconds; zero when baud
// is 0 (an unpaced line).
std::chrono::nanoseconds WireTime(uint64_t bytes, uint32_t baud);

// How many of `total` bytes to hand over per write: 1 when bytewise; about one millisecond of line
// time (at least 1 byte) on a paced line; everything at once on an unpaced one.
std::size_t WriteChunk(uint32_t baud, bool bytewise, std::size_t total);

// One direction of the line. Bytes handed over at `now` start when the line is free (not before
// `now`) and have crossed it after their wire time; Schedule returns that moment and keeps the
// line busy until then.
class LinePacer {
  public:
    explicit LinePacer(uint32_t baud) : m_baud(baud) {}
    LineClock::time_point Schedule(LineClock::time_point now, std::size_t bytes);
    uint32_t Baud() const { return m_baud; }

  private:
    uint32_t m_baud;
    LineClock::time_point m_free{};  // the line is idle from this moment on
};

}  // namespace orlo::devsim
