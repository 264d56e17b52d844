// Wire protocol between the programmer and the target device: frame layout, command and reply
// codes, sizes. Every frame: 04, length (2 bytes, big-endian, whole frame), code, payload,
// CRC-16 (big-endian, over everything before it), 03.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orlo {

constexpr uint8_t FRAME_START = 0x04;  // first byte of every frame
constexpr uint8_t FRAME_END = 0x03;    // last byte of every frame

constexpr int FRAME_MIN_LEN = 7;       // bytes: start, length (2), code, CRC (2), end
constexpr int FRAME_MAX_LEN = 4107;    // bytes: header (4) + address (4) + block (4096) + CRC + end
constexpr int FRAME_OVERHEAD = 3;      // bytes after the CRC-covered part: CRC (2) + end (1)
constexpr uint32_t BLOCK_SIZE = 4096;  // data bytes per write, verify and read block

// Region command families (high nibble) and operations (low nibble).
constexpr uint8_t CMD_FAMILY_APPLICATION = 0x10;
constexpr uint8_t CMD_FAMILY_VOICE = 0x20;
constexpr uint8_t CMD_FAMILY_MAP = 0x30;
constexpr uint8_t CMD_FAMILY_USER = 0x40;

constexpr uint8_t CMD_START = 0x0;   // start programming a region (7-byte frame)
constexpr uint8_t CMD_WRITE = 0x1;   // write one block (4107-byte frame)
constexpr uint8_t CMD_VERIFY = 0x2;  // verify one block (4107-byte frame)
constexpr uint8_t CMD_READ = 0xA;    // read one block (11-byte request)

constexpr uint8_t CMD_FINISH = 0x13;       // finish application programming (7-byte frame)
constexpr uint8_t CMD_CHECK = 0x1B;        // read the 16-byte check block (11-byte request)
constexpr uint8_t CMD_SWEEP_QUERY = 0x50;  // ask for the sweep max/min (7-byte frame)
constexpr uint8_t CMD_SWEEP_SET = 0x52;    // write sweep max, min, Tm, time (15-byte frame)

constexpr uint8_t RSP_LOG_START = 0x00;     // device starts a new log
constexpr uint8_t RSP_ACK = 0x06;           // frame accepted
constexpr uint8_t RSP_NAK = 0x15;           // frame refused
constexpr uint8_t RSP_SWEEP_REPORT = 0x51;  // [4..5] sweep max, [6..7] sweep min

constexpr uint32_t CHECK_BLOCK_ADDRESS = 0x3FE000;  // flash address of the 16-byte check block
constexpr int CHECK_BLOCK_LEN = 16;                 // bytes in the check block
constexpr uint32_t FLASH_SIZE = 0x400000;           // bytes of device flash (4 MiB)

constexpr int READ_REQUEST_LEN = 11;  // bytes of a read or check request
constexpr int SWEEP_SET_LEN = 15;     // bytes of a sweep set frame

constexpr uint32_t MAX_RESENDS = 4;  // a NAKed frame is resent at most this many times in a row

constexpr uint32_t LINE_BAUD = 115200;  // baud of the device line (8N1)

constexpr uint8_t RegionCommand(uint8_t family, uint8_t op) { return family | op; }
constexpr bool IsReadCommand(uint8_t code) {
    return code == 0x1A || code == 0x2A || code == 0x3A || code == 0x4A;
}

}  // namespace orlo
