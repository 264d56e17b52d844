#include "devsim/LinePacer.h"

#include <algorithm>

namespace orlo::devsim {

std::chrono::nanoseconds WireTime(uint64_t bytes, uint32_t baud) {
    if (baud == 0) return std::chrono::nanoseconds(0);
    constexpr uint64_t kNanosPerSecond = 1'000'000'000;
    const uint64_t bits = bytes * kBitsPerByte;
    // bits * 1e9 overflows 64 bits only beyond about 1.8 GB; split it to stay exact anyway.
    const uint64_t whole = bits / baud * kNanosPerSecond;
    const uint64_t part = (bits % baud * kNanosPerSecond + baud - 1) / baud;
    return std::chrono::nanoseconds(static_cast<int64_t>(whole + part));
}

std::size_t WriteChunk(uint32_t baud, bool bytewise, std::size_t total) {
    if (bytewise) return 1;
    if (baud == 0) return std::max<std::size_t>(total, 1);
    constexpr uint32_t kBitsPerMillisecond = 1000;  // baud / 1000 = bits per millisecond
    return std::max<std::size_t>(baud / kBitsPerMillisecond / kBitsPerByte, 1);
}

LineClock::time_point LinePacer::Schedule(LineClock::time_point now, std::size_t bytes) {
    const LineClock::time_point begin = std::max(now, m_free);
    m_free = begin + std::chrono::duration_cast<LineClock::duration>(WireTime(bytes, m_baud));
    return m_free;
}

}  // namespace orlo::devsim
