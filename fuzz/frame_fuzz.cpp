// Fuzz target: the frame codec and the simulated device's frame parser.
//
// Codec: the input taken as a frame buffer. Crc16Bytes must agree with a bit-by-bit CRC of the
// same polynomial; Crc16 must accept exactly the length fields 7..capacity and then give the CRC
// over [0 .. L-4]; SealFrame must write exactly [L-3..L-1] and leave a frame whose CRC checks.
//
// Device: the input fed to one device whole and to a second one in pieces. The answers must not
// depend on how the bytes were split, and every unit the device sends back must be one whole
// frame (start byte, its own length, CRC, end byte). A sealed frame is taken whole as one frame
// and answered with one.
//
// A new device costs a 4 MiB flash, which would make page faults most of the work, so each
// device is made once and put back before every input: a half-received frame forgotten, the
// flash erased again after a write, the sweep settings set back after a sweep set.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devsim/Device.h"
#include "protocol/Crc16.h"
#include "protocol/Protocol.h"

namespace {

using orlo::FRAME_END;
using orlo::FRAME_MAX_LEN;
using orlo::FRAME_MIN_LEN;
using orlo::FRAME_START;

void Check(bool condition) {
    if (!condition) std::abort();
}

// CRC-16, polynomial 0x8005, initial 0, most significant bit first, one bit at a time.
uint16_t BitwiseCrc(const uint8_t* data, std::size_t n) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
    }
    return crc;
}

std::size_t LengthField(const uint8_t* frame) {
    return (static_cast<std::size_t>(frame[1]) << 8) | frame[2];
}

std::vector<uint8_t> SealedFrame(std::vector<uint8_t> frame) {
    frame.resize(frame.size() + 3);
    frame[1] = static_cast<uint8_t>(frame.size() >> 8);
    frame[2] = static_cast<uint8_t>(frame.size());
    Check(orlo::SealFrame(frame.data(), frame.size()));
    return frame;
}

// One device for the whole run, in the same state at the start of every input.
class ReusedDevice {
  public:
    orlo::devsim::Device& Get() {
        m_device.DiscardPartial();
        if (Count(kWrites) != m_writes) {
            static const std::vector<uint8_t> erased(orlo::devsim::Device::kFlashSize, 0xFF);
            Check(m_device.WriteFlash(0, erased));
        }
        if (Count(kSweepSet) != m_sweepSets) {
            // Sweep max 2000, min 1000, Tm 20000, time 40 ms: the values of a new device.
            static const std::vector<uint8_t> defaults = SealedFrame(
                {FRAME_START, 0, 0, 0x52, 0x07, 0xD0, 0x03, 0xE8, 0x4E, 0x20, 0x00, 0x28});
            m_device.Feed(defaults);
            Check(m_device.Sweep().max == 2000 && m_device.Sweep().timeMs == 40);
        }
        m_writes = Count(kWrites);
        m_sweepSets = Count(kSweepSet);
        return m_device;
    }

  private:
    static constexpr uint8_t kWrites[] = {0x11, 0x21, 0x31, 0x41};
    static constexpr uint8_t kSweepSet[] = {0x52};
    template <std::size_t N>
    uint64_t Count(const uint8_t (&codes)[N]) const {
        const auto stats = m_device.Stats();
        uint64_t n = 0;
        for (uint8_t c : codes) n += stats.perCode[c];
        return n;
    }

    orlo::devsim::Device m_device;
    uint64_t m_writes = 0;
    uint64_t m_sweepSets = 0;
};

bool WholeFrame(const std::vector<uint8_t>& unit) {
    const std::size_t n = unit.size();
    if (n < static_cast<std::size_t>(FRAME_MIN_LEN) || n > static_cast<std::size_t>(FRAME_MAX_LEN))
        return false;
    if (unit[0] != FRAME_START || unit[n - 1] != FRAME_END || LengthField(unit.data()) != n)
        return false;
    const uint16_t crc = BitwiseCrc(unit.data(), n - 3);
    return unit[n - 3] == (crc >> 8) && unit[n - 2] == (crc & 0xFF);
}

void CheckCodec(const uint8_t* data, std::size_t size) {
    Check(orlo::Crc16Bytes(data, size) == BitwiseCrc(data, size));
    // Crc16 and SealFrame read the length field at [1..2]: a buffer holds at least that much.
    if (size < 3) return;

    std::vector<uint8_t> frame(data, data + size);
    const std::size_t length = LengthField(frame.data());
    const bool fits = length >= static_cast<std::size_t>(FRAME_MIN_LEN) && length <= size;
    bool ok = !fits;
    const uint16_t crc = orlo::Crc16(frame.data(), frame.size(), &ok);
    Check(ok == fits);
    Check(crc == (fits ? BitwiseCrc(data, length - 3) : 0));

    const bool sealed = orlo::SealFrame(frame.data(), frame.size());
    Check(sealed == fits);
    for (std::size_t i = 0; i < size; ++i) {
        if (sealed && i + 3 >= length && i < length) continue;  // the CRC and end bytes
        Check(frame[i] == data[i]);
    }
    if (!sealed) return;
    const std::vector<uint8_t> whole(frame.begin(), frame.begin() + static_cast<long>(length));
    Check(whole[length - 1] == FRAME_END);
    const uint16_t sealedCrc = BitwiseCrc(whole.data(), length - 3);
    Check(whole[length - 3] == (sealedCrc >> 8) && whole[length - 2] == (sealedCrc & 0xFF));

    // SealFrame leaves the start byte to its caller; with one in place the device takes it.
    if (whole[0] == FRAME_START && length <= static_cast<std::size_t>(FRAME_MAX_LEN)) {
        Check(WholeFrame(whole));
        static ReusedDevice reused;
        const auto exchanges = reused.Get().FeedFrames(whole.data(), whole.size());
        Check(exchanges.size() == 1);
        Check(exchanges[0].frame == whole);
        Check(exchanges[0].out.size() == 1 && WholeFrame(exchanges[0].out[0]));
    }
}

void CheckDevice(const uint8_t* data, std::size_t size) {
    static ReusedDevice reusedWhole;
    static ReusedDevice reusedSplit;
    orlo::devsim::Device& whole = reusedWhole.Get();
    orlo::devsim::Device& split = reusedSplit.Get();
    std::vector<uint8_t> replies;
    for (const auto& ex : whole.FeedFrames(data, size)) {
        Check(ex.out.size() == 1);  // no faults: one reply a frame, nothing else
        Check(WholeFrame(ex.out[0]));
        replies.insert(replies.end(), ex.out[0].begin(), ex.out[0].end());
    }

    // Pieces of 1 to 16 bytes, their sizes taken from the bytes themselves.
    std::vector<uint8_t> pieces;
    for (std::size_t at = 0; at < size;) {
        const std::size_t n = std::min<std::size_t>(1 + data[at] % 16, size - at);
        const auto out = split.Feed(data + at, n);
        pieces.insert(pieces.end(), out.begin(), out.end());
        at += n;
    }
    Check(pieces == replies);
    const auto a = whole.Stats();
    const auto b = split.Stats();
    Check(a.frames == b.frames && a.garbageBytes == b.garbageBytes && a.acks == b.acks &&
          a.naks == b.naks);
    Check(whole.HasPartial() == split.HasPartial());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    CheckCodec(data, size);
    CheckDevice(data, size);
    return 0;
}
