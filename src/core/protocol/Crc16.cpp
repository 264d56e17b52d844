#include "protocol/Crc16.h"

#include "protocol/Protocol.h"

namespace orlo {

namespace {
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : (crc << 1));
        t[static_cast<std::size_t>(i)] = crc;
    }
    return t;
}
}  // namespace

// Entry i is the CRC of the single byte i (entry 1 = 0x8005, entry 255 = 0x0202).
const std::array<uint16_t, 256> kCrc16Table = MakeTable();
static_assert(MakeTable()[1] == 0x8005 && MakeTable()[255] == 0x0202);

uint16_t Crc16Bytes(const uint8_t* data, std::size_t len) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < len; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table[(data[i] ^ (crc >> 8)) & 0xFF]);
    return crc;
}

uint16_t Crc16(const uint8_t* frame, std::size_t capacity, bool* ok) {
    const std::size_t length = (static_cast<std::size_t>(frame[1]) << 8) | frame[2];
    const bool valid = length >= static_cast<std::size_t>(FRAME_MIN_LEN) && length <= capacity;
    if (ok) *ok = valid;
    if (!valid) return 0;
    return Crc16Bytes(frame, length - FRAME_OVERHEAD);
}

bool SealFrame(uint8_t* frame, std::size_t capacity) {
    bool ok = false;
    const uint16_t crc = Crc16(frame, capacity, &ok);
    if (!ok) return false;
    const std::size_t length = (static_cast<std::size_t>(frame[1]) << 8) | frame[2];
    frame[length - 3] = static_cast<uint8_t>(crc >> 8);
    frame[length - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[length - 1] = FRAME_END;
    return true;
}

}  // namespace orlo
