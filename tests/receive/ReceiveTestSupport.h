// Helpers of the receive-path tests: frames built by hand and bytes put into the ring.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/OrloDlg.h"
#include "support/DialogFixture.h"

namespace orlo::test {

inline std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A frame of `length` bytes with response code `code`: start byte, big-endian length, code,
// `fill` bytes, two CRC bytes (not a real CRC: the receive side never checks it) and end byte.
inline std::vector<uint8_t> Frame(uint8_t code, uint16_t length, uint8_t fill = 0x55,
                                  uint8_t crcHigh = 0xAB, uint8_t crcLow = 0xCD) {
    std::vector<uint8_t> f(length, fill);
    f[0] = FRAME_START;
    f[1] = static_cast<uint8_t>(length >> 8);
    f[2] = static_cast<uint8_t>(length & 0xFF);
    f[3] = code;
    f[length - 3u] = crcHigh;
    f[length - 2u] = crcLow;
    f[length - 1u] = FRAME_END;
    return f;
}

// Puts bytes into the ring by the reader's rule without notifying.
inline void PutInRing(COrloDlg& dlg, const std::vector<uint8_t>& bytes) {
    auto& comm = dlg.m_comm;
    for (uint8_t b : bytes) {
        comm.m_rxTail %= RX_RING_SIZE;
        comm.m_rxRing[comm.m_rxTail] = b;
        ++comm.m_rxTail;
    }
}

// Feeds any number of bytes as successive notifications of at most `chunk` bytes, as the
// reader delivers them (it reads at most 80 bytes at a time, and the ring holds 1024).
inline void FeedChunked(DialogFixture& f, const std::vector<uint8_t>& bytes,
                        std::size_t chunk = RX_READ_MAX) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t n = std::min(chunk, bytes.size() - at);
        f.Feed(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                    bytes.begin() + static_cast<long>(at + n)));
    }
}

}  // namespace orlo::test
