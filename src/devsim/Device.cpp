#include "devsim/Device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "images/FlashRegion.h"
#include "protocol/Crc16.h"
#include "protocol/Protocol.h"

namespace orlo::devsim {

namespace {

static_assert(Device::kFlashSize == FLASH_SIZE, "the device's flash is the tool's flash");

constexpr std::size_t kOversizeLen = 0xFFFF;  // bytes declared by the oversized frame
constexpr uint8_t kOversizeCode = 0xEE;       // a code no receiver routes anywhere
constexpr std::size_t kAddressLen = 4;        // bytes of a flash address in a payload

uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint16_t BigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void PutBigEndian16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

// A whole frame around `payload`: start, length, code, payload, CRC, end.
std::vector<uint8_t> MakeFrame(uint8_t code, const uint8_t* payload, std::size_t n) {
    const std::size_t length = n + FRAME_MIN_LEN;
    std::vector<uint8_t> f;
    f.reserve(length);
    f.push_back(FRAME_START);
    PutBigEndian16(f, static_cast<uint16_t>(length));
    f.push_back(code);
    if (n) f.insert(f.end(), payload, payload + n);
    PutBigEndian16(f, Crc16Bytes(f.data(), f.size()));
    f.push_back(FRAME_END);
    return f;
}

// The frame length each command must have; 0 for a code the device does not know.
std::size_t LengthOf(uint8_t code) {
    switch (code) {
        case CMD_FINISH:
        case CMD_SWEEP_QUERY:
            return FRAME_MIN_LEN;
        case CMD_CHECK:
            return READ_REQUEST_LEN;
        case CMD_SWEEP_SET:
            return SWEEP_SET_LEN;
        default:
            break;
    }
    const uint8_t family = code & 0xF0;
    if (family != CMD_FAMILY_APPLICATION && family != CMD_FAMILY_VOICE &&
        family != CMD_FAMILY_MAP && family != CMD_FAMILY_USER)
        return 0;
    switch (code & 0x0F) {
        case CMD_START:
            return FRAME_MIN_LEN;
        case CMD_WRITE:
        case CMD_VERIFY:
            return FRAME_MAX_LEN;
        case CMD_READ:
            return READ_REQUEST_LEN;
        default:
            return 0;
    }
}

const FlashRegion* RegionOfFamily(uint8_t family) {
    for (const auto& r : kFlashRegions)
        if (r.family == family) return &r;
    return nullptr;
}

}  // namespace

Device::Device(DeviceOptions options)
    : m_options(std::move(options)), m_flash(kFlashSize, 0xFF), m_sweep(m_options.sweep) {
    m_rx.reserve(FRAME_MAX_LEN);
}

std::vector<uint8_t> Device::Feed(const uint8_t* data, std::size_t n) {
    std::vector<uint8_t> out;
    for (auto& ex : FeedFrames(data, n))
        for (auto& unit : ex.out) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

std::vector<uint8_t> Device::Feed(const std::vector<uint8_t>& bytes) {
    return Feed(bytes.data(), bytes.size());
}

std::vector<Exchange> Device::FeedFrames(const uint8_t* data, std::size_t n) {
    std::lock_guard lock(m_mutex);
    std::vector<Exchange> done;
    for (std::size_t i = 0; i < n && !m_hungUp; ++i) TakeByte(data[i], done);
    return done;
}

// Frame hunting: a unit starts at 0x04; once its length field is in, a length the tool never
// sends (below 7, above 4107) means the 0x04 was noise. That byte is skipped and the two length
// bytes are looked at again, since one of them may be the start of the real frame.
void Device::TakeByte(uint8_t b, std::vector<Exchange>& done) {
    if (m_rx.empty()) {
        if (b == FRAME_START)
            m_rx.push_back(b);
        else
            ++m_stats.garbageBytes;
        return;
    }
    m_rx.push_back(b);
    if (m_rx.size() == 3) {
        m_expected = (static_cast<std::size_t>(m_rx[1]) << 8) | m_rx[2];
        if (m_expected < static_cast<std::size_t>(FRAME_MIN_LEN) ||
            m_expected > static_cast<std::size_t>(FRAME_MAX_LEN)) {
            const uint8_t again[2] = {m_rx[1], m_rx[2]};
            m_rx.clear();
            m_expected = 0;
            ++m_stats.garbageBytes;
            TakeByte(again[0], done);
            TakeByte(again[1], done);
        }
        return;
    }
    if (m_rx.size() == m_expected) {
        std::vector<uint8_t> frame;
        frame.swap(m_rx);
        m_rx.reserve(FRAME_MAX_LEN);
        m_expected = 0;
        done.push_back(Handle(std::move(frame)));
    }
}

Exchange Device::Handle(std::vector<uint8_t> frame) {
    Exchange ex;
    ++m_stats.frames;
    ++m_stats.perCode[frame[3]];
    const uint64_t number = frame[3] == CMD_CHECK ? 0 : ++m_stats.numbered;
    const auto hit = [number](uint32_t n) { return number != 0 && number == n; };
    const Faults& faults = m_options.faults;

    if (hit(faults.silentFrame)) {
        ++m_stats.silenced;
        ex.frame = std::move(frame);
        return ex;
    }
    if (faults.restartOnFinish && frame[3] == CMD_FINISH) {
        ++m_stats.restarts;
        m_naksLeft = 0;
        ex.frame = std::move(frame);
        return ex;
    }

    bool refuse = false;
    if (hit(faults.nakFrame) && faults.nakCount > 0) {
        m_nakFrame = frame;
        m_naksLeft = faults.nakCount - 1;
        refuse = true;
    } else if (m_naksLeft > 0 && frame == m_nakFrame) {
        --m_naksLeft;
        refuse = true;
    } else if (number != 0) {
        m_naksLeft = 0;  // another frame ends the run (a check request between does not)
    }
    std::vector<uint8_t> reply = refuse ? NakFrame() : Answer(frame);
    if (reply.size() == static_cast<std::size_t>(FRAME_MIN_LEN) && reply[3] == RSP_NAK)
        ++m_stats.naks;
    else if (reply.size() == static_cast<std::size_t>(FRAME_MIN_LEN) && reply[3] == RSP_ACK)
        ++m_stats.acks;
    LeaveFieldsUnfilled(reply);
    if (hit(faults.corruptFrame) && faults.corruptOffset < reply.size())
        reply[faults.corruptOffset] ^= 0xFF;

    if (m_stats.frames == 1) {
        if (m_options.greetingLogStart) ex.out.push_back(LogStartFrame());
        for (const auto& line : m_options.greetingLines) ex.out.push_back(TextLine(line));
    }
    if (hit(faults.oversizeFrame)) ex.out.push_back(OversizeFrame());
    if (!faults.lineBeforeReply.empty()) ex.out.push_back(TextLine(faults.lineBeforeReply));
    if (hit(faults.strayFrame)) ex.out.push_back(Stray(faults.strayCode));
    if (hit(faults.duplicateFrame)) ex.out.push_back(reply);
    ex.out.push_back(std::move(reply));
    if (hit(faults.hangUpAfter)) {
        ex.hangUp = true;
        m_hungUp = true;
        m_rx.clear();
    }
    for (const uint32_t late : faults.lateFrames)
        if (hit(late)) ex.lateMs = faults.lateMs;
    ex.frame = std::move(frame);
    return ex;
}

void Device::LeaveFieldsUnfilled(std::vector<uint8_t>& reply) const {
    if (m_options.replyAddressUnfilled && reply.size() > static_cast<std::size_t>(FRAME_MIN_LEN) &&
        (reply[3] == CMD_CHECK || (reply[3] & 0x0F) == CMD_READ))
        std::fill(reply.begin() + 4, reply.begin() + 8, uint8_t{0});
    if (m_options.replyCrcUnfilled) {
        reply[reply.size() - 3] = 0;
        reply[reply.size() - 2] = 0;
    }
}

std::vector<uint8_t> Device::StrayFrame(uint8_t code) const {
    std::lock_guard lock(m_mutex);
    return Stray(code);
}

std::vector<uint8_t> Device::Stray(uint8_t code) const {
    std::vector<uint8_t> p;
    const FlashRegion* region = RegionOfFamily(code & 0xF0);
    if (code == RSP_SWEEP_REPORT) {
        PutBigEndian16(p, m_sweep.max);
        PutBigEndian16(p, m_sweep.min);
    } else if (code == CMD_CHECK || (region && (code & 0x0F) == CMD_READ)) {
        const uint32_t address = code == CMD_CHECK ? CHECK_BLOCK_ADDRESS : region->base;
        const uint32_t length =
            code == CMD_CHECK ? static_cast<uint32_t>(CHECK_BLOCK_LEN) : static_cast<uint32_t>(BLOCK_SIZE);
        for (int shift = 24; shift >= 0; shift -= 8)
            p.push_back(static_cast<uint8_t>(address >> shift));
        p.insert(p.end(), m_flash.begin() + address, m_flash.begin() + address + length);
    }
    std::vector<uint8_t> frame = MakeFrame(code, p.data(), p.size());
    LeaveFieldsUnfilled(frame);
    return frame;
}

std::vector<uint8_t> Device::Answer(const std::vector<uint8_t>& frame) {
    const std::size_t length = frame.size();
    if (frame[length - 1] != FRAME_END) return NakFrame();
    if (Crc16Bytes(frame.data(), length - FRAME_OVERHEAD) !=
        BigEndian16(&frame[length - FRAME_OVERHEAD]))
        return NakFrame();
    const uint8_t code = frame[3];
    if (LengthOf(code) == 0 || LengthOf(code) != length) return NakFrame();

    const uint8_t* payload = frame.data() + 4;
    switch (code) {
        case CMD_FINISH:
            return AckFrame();
        case CMD_SWEEP_QUERY: {
            std::vector<uint8_t> p;
            PutBigEndian16(p, m_sweep.max);
            PutBigEndian16(p, m_sweep.min);
            return MakeFrame(RSP_SWEEP_REPORT, p.data(), p.size());
        }
        case CMD_SWEEP_SET:
            m_sweep.max = BigEndian16(payload);
            m_sweep.min = BigEndian16(payload + 2);
            m_sweep.tm = BigEndian16(payload + 4);
            m_sweep.timeMs = BigEndian16(payload + 6);
            return AckFrame();
        case CMD_CHECK: {
            const uint32_t address = BigEndian32(payload);
            if (!BlockAllowed(code, address, CHECK_BLOCK_LEN)) return NakFrame();
            std::vector<uint8_t> p(payload, payload + kAddressLen);
            p.insert(p.end(), m_flash.begin() + address,
                     m_flash.begin() + address + CHECK_BLOCK_LEN);
            return MakeFrame(CMD_CHECK, p.data(), p.size());
        }
        default:
            break;
    }

    const uint8_t op = code & 0x0F;
    if (op == CMD_START) return AckFrame();
    const uint32_t address = BigEndian32(payload);
    if (!BlockAllowed(code, address, BLOCK_SIZE)) return NakFrame();
    uint8_t* cell = m_flash.data() + address;
    switch (op) {
        case CMD_WRITE:
            std::memcpy(cell, payload + kAddressLen, BLOCK_SIZE);
            return AckFrame();
        case CMD_VERIFY:
            return std::memcmp(cell, payload + kAddressLen, BLOCK_SIZE) == 0 ? AckFrame()
                                                                             : NakFrame();
        case CMD_READ: {
            std::vector<uint8_t> p(payload, payload + kAddressLen);
            p.insert(p.end(), cell, cell + BLOCK_SIZE);
            return MakeFrame(code, p.data(), p.size());
        }
        default:
            return NakFrame();
    }
}

// A block must lie wholly inside the flash (in 64-bit arithmetic, so an address near 2^32 cannot
// wrap round), and with strictRegions inside the region of the command's family as well.
bool Device::BlockAllowed(uint8_t code, uint32_t address, uint32_t length) const {
    if (static_cast<uint64_t>(address) + length > kFlashSize) return false;
    if (!m_options.strictRegions || code == CMD_CHECK) return true;
    const FlashRegion* region = RegionOfFamily(code & 0xF0);
    if (!region) return false;
    return address >= region->base && static_cast<uint64_t>(address) + length <=
                                          static_cast<uint64_t>(region->base) + region->maxSize;
}

bool Device::HasPartial() const {
    std::lock_guard lock(m_mutex);
    return !m_rx.empty();
}

void Device::DiscardPartial() {
    std::lock_guard lock(m_mutex);
    m_stats.garbageBytes += m_rx.size();
    m_rx.clear();
    m_expected = 0;
}

bool Device::HungUp() const {
    std::lock_guard lock(m_mutex);
    return m_hungUp;
}

bool Device::LoadFlash(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return fail("cannot open the flash image " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> image(kFlashSize, 0xFF);
    const std::size_t got = std::fread(image.data(), 1, kFlashSize, file.get());
    if (std::ferror(file.get())) return fail("cannot read the flash image " + path);
    if (got == kFlashSize && std::fgetc(file.get()) != EOF)
        return fail("the flash image " + path + " is larger than the 4 MiB flash");
    std::lock_guard lock(m_mutex);
    m_flash.swap(image);
    return true;
}

bool Device::SaveFlash(const std::string& path, std::string* error) const {
    const std::vector<uint8_t> image = Flash();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    const bool closed = std::fclose(file) == 0;
    if (!(written && closed)) {
        if (error) *error = "cannot write the flash to " + path;
        return false;
    }
    return true;
}

std::vector<uint8_t> Device::Flash() const {
    std::lock_guard lock(m_mutex);
    return m_flash;
}

std::vector<uint8_t> Device::ReadFlash(uint32_t address, std::size_t count) const {
    if (static_cast<uint64_t>(address) + count > kFlashSize) return {};
    std::lock_guard lock(m_mutex);
    return std::vector<uint8_t>(m_flash.begin() + address, m_flash.begin() + address + count);
}

bool Device::WriteFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
    if (static_cast<uint64_t>(address) + bytes.size() > kFlashSize) return false;
    std::lock_guard lock(m_mutex);
    std::copy(bytes.begin(), bytes.end(), m_flash.begin() + address);
    return true;
}

SweepSettings Device::Sweep() const {
    std::lock_guard lock(m_mutex);
    return m_sweep;
}

DeviceStats Device::Stats() const {
    std::lock_guard lock(m_mutex);
    return m_stats;
}

Faults Device::GetFaults() const {
    std::lock_guard lock(m_mutex);
    return m_options.faults;
}

void Device::SetFaults(const Faults& faults) {
    std::lock_guard lock(m_mutex);
    m_options.faults = faults;
}

std::vector<uint8_t> Device::AckFrame() {
    return MakeFrame(RSP_ACK, nullptr, 0);
}
std::vector<uint8_t> Device::NakFrame() {
    return MakeFrame(RSP_NAK, nullptr, 0);
}
std::vector<uint8_t> Device::LogStartFrame() {
    return MakeFrame(RSP_LOG_START, nullptr, 0);
}

std::vector<uint8_t> Device::TextLine(std::string_view text) {
    std::vector<uint8_t> line(text.begin(), text.end());
    const std::size_t n = line.size();
    const bool ended = n >= 2 && ((line[n - 2] == '\r' && line[n - 1] == '\n') ||
                                  (line[n - 2] == '\n' && line[n - 1] == '\r'));
    if (!ended) {
        line.push_back('\r');
        line.push_back('\n');
    }
    return line;
}

std::vector<uint8_t> Device::OversizeFrame() {
    const std::vector<uint8_t> payload(kOversizeLen - FRAME_MIN_LEN, '\n');
    return MakeFrame(kOversizeCode, payload.data(), payload.size());  // length field FF FF
}

}  // namespace orlo::devsim
