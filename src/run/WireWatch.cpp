#include "run/WireWatch.h"

#include <cstdio>

#include "protocol/Protocol.h"

namespace orlo::run {

namespace {

constexpr std::size_t kHeadBytes = 8;      // start, length, code, address: all a unit shows
constexpr std::size_t kShortestFrame = 7;  // start, length, code, CRC, end
constexpr uint8_t kLineEnd = '\n';

bool IsRegionCommand(uint8_t code) {
    const uint8_t family = code & 0xF0;
    return family >= CMD_FAMILY_APPLICATION && family <= CMD_FAMILY_USER;
}

// Frames whose bytes [4..7] are a flash address: blocks, read requests and their data, check.
bool CarriesAddress(uint8_t code) {
    if (code == CMD_CHECK) return true;
    if (!IsRegionCommand(code)) return false;
    const uint8_t op = code & 0x0F;
    return op == CMD_WRITE || op == CMD_VERIFY || op == CMD_READ;
}

bool IsBlock(uint8_t code) {
    return IsRegionCommand(code) && code != CMD_CHECK && code != CMD_FINISH &&
           ((code & 0x0F) == CMD_WRITE || (code & 0x0F) == CMD_VERIFY || (code & 0x0F) == CMD_READ);
}

}  // namespace

std::string WirePhase(uint8_t code) {
    if (code == CMD_FINISH) return "finish";
    if (code == CMD_CHECK) return "check";
    if (code == CMD_SWEEP_QUERY || code == CMD_SWEEP_SET) return "sweep";
    if (!IsRegionCommand(code)) return {};
    switch (code & 0x0F) {
        case CMD_START:
            return "start";
        case CMD_WRITE:
            return "write";
        case CMD_VERIFY:
            return "verify";
        case CMD_READ:
            return "read";
        default:
            return {};
    }
}

std::string WireCodeName(uint8_t code, bool sent) {
    if (sent) {
        if (code == CMD_SWEEP_QUERY) return "sweep query";
        if (code == CMD_SWEEP_SET) return "sweep set";
        const std::string phase = WirePhase(code);
        return phase.empty() ? "unknown" : phase;
    }
    switch (code) {
        case RSP_ACK:
            return "ACK";
        case RSP_NAK:
            return "NAK";
        case RSP_LOG_START:
            return "log start";
        case RSP_SWEEP_REPORT:
            return "sweep report";
        case CMD_CHECK:
            return "check data";
        default:
            break;
    }
    if (IsRegionCommand(code) && (code & 0x0F) == CMD_READ) return "read data";
    return "unknown";
}

std::string DescribeFrame(uint8_t code, std::optional<uint32_t> address) {
    std::string at;
    if (address) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "0x%06X", static_cast<unsigned>(*address));
        at = buffer;
    }
    if (code == CMD_CHECK) return "the check request";
    if (code == CMD_SWEEP_QUERY) return "the sweep query";
    if (code == CMD_SWEEP_SET) return "the sweep set frame";
    const std::string phase = WirePhase(code);
    if (phase == "start") return "the start frame";
    if (phase == "finish") return "the finish frame";
    if (phase == "read") return "the read request for flash address " + at;
    if (phase == "write" || phase == "verify")
        return "the " + phase + " block at flash address " + at;
    return "the last frame";
}

std::optional<uint32_t> FrameAddress(const uint8_t* frame, std::size_t length) {
    if (length < kHeadBytes + 3 || !CarriesAddress(frame[3])) return std::nullopt;
    return uint32_t{frame[4]} << 24 | uint32_t{frame[5]} << 16 | uint32_t{frame[6]} << 8 |
           uint32_t{frame[7]};
}

std::string FormatWireUnit(const WireUnit& u) {
    const char* arrow = u.direction == WireDirection::Sent ? ">" : "<";
    char buffer[96];
    if (u.text) {
        std::snprintf(buffer, sizeof buffer, "%s text line len=%zu", arrow, u.length);
        return buffer;
    }
    std::string line;
    std::snprintf(buffer, sizeof buffer, "%s 0x%02X %s", arrow, u.code,
                  WireCodeName(u.code, u.direction == WireDirection::Sent).c_str());
    line = buffer;
    if (u.address) {
        std::snprintf(buffer, sizeof buffer, " addr=0x%06X", static_cast<unsigned>(*u.address));
        line += buffer;
    }
    return line + " len=" + std::to_string(u.length);
}

WireWatch::WireWatch(std::function<void(const WireUnit&)> trace) : m_trace(std::move(trace)) {}

void WireWatch::Unit(const std::vector<uint8_t>& head, std::size_t length, bool text,
                     WireDirection direction) {
    WireUnit unit;
    unit.direction = direction;
    unit.text = text;
    unit.length = length;
    if (!text && head.size() >= 4) {
        unit.code = head[3];
        if (head.size() >= kHeadBytes) unit.address = FrameAddress(head.data(), length);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (direction == WireDirection::Sent && !text) {
            const bool resend =
                m_lastSent && m_lastSent->code == unit.code && m_lastSent->address == unit.address;
            if (IsBlock(unit.code) && !resend) {
                ++m_blocks;
                if (!m_firstBlock) m_firstBlock = Clock::now();
            }
            // The check requests a run adds around its frames and before a resend are not the
            // frames its refusals and resends are about.
            if (unit.code != CMD_CHECK || !m_lastSent) m_lastSent = unit;
        } else if (direction == WireDirection::Received) {
            m_lastReply = Clock::now();
            if (!text && unit.code == RSP_NAK) {
                WireRefusal refusal;
                if (m_lastSent) {
                    refusal.phase = WirePhase(m_lastSent->code);
                    refusal.address = m_lastSent->address;
                }
                refusal.when = std::chrono::system_clock::now();
                m_refusals.push_back(refusal);
            }
        }
    }
    Emit(unit);
}

void WireWatch::Emit(const WireUnit& unit) {
    if (m_trace) m_trace(unit);
}

void WireWatch::Sent(const uint8_t* data, std::size_t count) {
    if (count == 0) return;
    // A frame goes out in one write; anything else (the test string) is shown as text.
    const bool frame = data[0] == FRAME_START && count >= kShortestFrame;
    std::vector<uint8_t> head(data, data + std::min(count, kHeadBytes));
    Unit(head, count, !frame, WireDirection::Sent);
}

void WireWatch::Received(const uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t b = data[i];
        if (m_rxLength == 0) m_rxText = b != FRAME_START;
        if (m_rxHead.size() < kHeadBytes) m_rxHead.push_back(b);
        ++m_rxLength;
        if (!m_rxText && m_rxLength == 3) {
            m_rxExpected =
                std::max<std::size_t>(kShortestFrame, std::size_t{m_rxHead[1]} << 8 | m_rxHead[2]);
        }
        const bool done =
            m_rxText ? b == kLineEnd : (m_rxExpected > 0 && m_rxLength >= m_rxExpected);
        if (!done) continue;
        Unit(m_rxHead, m_rxLength, m_rxText, WireDirection::Received);
        m_rxHead.clear();
        m_rxLength = 0;
        m_rxExpected = 0;
    }
}

std::vector<WireRefusal> WireWatch::Refusals() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refusals;
}

uint64_t WireWatch::Blocks() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks;
}

double WireWatch::BlockSeconds() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_firstBlock || m_lastReply <= *m_firstBlock) return 0;
    return std::chrono::duration<double>(m_lastReply - *m_firstBlock).count();
}

namespace {

// Forwards everything to the real transport and shows the watch what crosses it.
class WatchedTransport : public ForwardingTransport {
  public:
    WatchedTransport(std::shared_ptr<ISerialTransport> inner, std::shared_ptr<WireWatch> watch)
        : ForwardingTransport(std::move(inner)), m_watch(std::move(watch)) {}

    int Read(uint8_t* buffer, int count) override {
        const int n = m_inner->Read(buffer, count);
        if (n > 0) m_watch->Received(buffer, static_cast<std::size_t>(n));
        return n;
    }
    bool Write(const uint8_t* data, std::size_t count) override {
        // Shown before it goes: the answer may be read (and shown) by the reader thread before
        // the write returns.
        m_watch->Sent(data, count);
        return m_inner->Write(data, count);
    }

  private:
    std::shared_ptr<WireWatch> m_watch;
};

}  // namespace

WatchedBackend::WatchedBackend(std::unique_ptr<ISerialBackend> inner,
                               std::shared_ptr<WireWatch> watch)
    : m_inner(std::move(inner)), m_watch(std::move(watch)) {}

std::shared_ptr<ISerialTransport> WatchedBackend::Open(const std::string& portName,
                                                       SerialOpenResult* result) {
    auto transport = m_inner->Open(portName, result);
    if (!transport) return transport;
    return std::make_shared<WatchedTransport>(std::move(transport), m_watch);
}

}  // namespace orlo::run
