// A few million seeded random bytes through the ring into the assembler, every consumer live:
// no crash, no store beyond the accumulator, and the receive state stays well-formed after
// every notification.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "receive/ReceiveTestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORLO_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORLO_TEST_SANITIZED 1
#endif
#endif

namespace orlo::test {
namespace {

std::size_t FuzzByteCount() {
    if (const char* env = std::getenv("ORLO_FUZZ_BYTES")) return std::strtoull(env, nullptr, 10);
#ifdef ORLO_TEST_SANITIZED
    return 400'000;  // the sanitizers make every byte many times dearer
#else
    return 3'000'000;
#endif
}

// Produces the stream in pieces that reach the interesting paths: random bytes, frame headers
// with short, boundary and oversize lengths, whole frames of every consumer's code, line ends
// in all orders, text runs and runs long enough to fill the accumulator.
class StreamGenerator {
  public:
    explicit StreamGenerator(uint32_t seed) : m_rng(seed) {}

    void AppendPiece(std::vector<uint8_t>* out) {
        const unsigned kind = Below(100);
        if (kind < 30) {
            out->push_back(static_cast<uint8_t>(m_rng()));
        } else if (kind < 38) {
            // A frame header alone: short, oversize, random, and now and then one that makes
            // the next 4106 or 4107 bytes a single unit.
            static constexpr uint16_t kLengths[] = {0, 1,  2,  3,    4,    5,     6,
                                                    7, 11, 27, 4108, 9999, 0xFFFF};
            uint16_t length = Below(4) == 0 ? static_cast<uint16_t>(m_rng())
                                            : kLengths[Below(std::size(kLengths))];
            if (Below(50) == 0) length = static_cast<uint16_t>(FRAME_MAX_LEN - Below(2));
            out->insert(out->end(), {FRAME_START, static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length)});
        } else if (kind < 70) {
            static constexpr uint8_t kCodes[] = {0x00, 0x06, 0x15, 0x1A, 0x2A, 0x3A,
                                                 0x4A, 0x1B, 0x51, 0x99, 0x03};
            const uint8_t code = kCodes[Below(std::size(kCodes))];
            const uint16_t length = Below(50) == 0 ? static_cast<uint16_t>(FRAME_MAX_LEN)
                                                   : static_cast<uint16_t>(4 + Below(40));
            auto frame = Frame(code, length, static_cast<uint8_t>(m_rng()),
                               static_cast<uint8_t>(m_rng()), static_cast<uint8_t>(m_rng()));
            out->insert(out->end(), frame.begin(), frame.end());
        } else if (kind < 90) {
            static const std::vector<uint8_t> kEnds[] = {{0x0D, 0x0A}, {0x0A, 0x0D}, {0x0A}};
            const auto& end = kEnds[Below(std::size(kEnds))];
            out->insert(out->end(), end.begin(), end.end());
        } else if (kind < 99) {
            const unsigned n = 1 + Below(300);
            for (unsigned i = 0; i < n; ++i) out->push_back(static_cast<uint8_t>(' ' + Below(90)));
        } else {
            // Long enough to fill the accumulator without a line end.
            out->insert(out->end(), 1000 + Below(4000), static_cast<uint8_t>('a' + Below(26)));
        }
    }

    unsigned Below(std::size_t n) { return static_cast<unsigned>(m_rng() % n); }

  private:
    std::mt19937 m_rng;
};

::testing::AssertionResult WellFormed(COrloDlg& dlg) {
    if (dlg.m_rxLen < 0 || dlg.m_rxLen >= FRAME_MAX_LEN)
        return ::testing::AssertionFailure() << "m_rxLen " << dlg.m_rxLen;
    // Between notifications a unit is either of unknown length or a frame of declared length
    // 4..4107 still being collected.
    const bool unknown = dlg.m_rxExpected == COrloDlg::RX_EXPECT_UNKNOWN;
    const bool frameInProgress = dlg.m_rxLen >= 3 &&
                                 dlg.m_rxExpected > static_cast<uint32_t>(dlg.m_rxLen) &&
                                 dlg.m_rxExpected <= static_cast<uint32_t>(FRAME_MAX_LEN);
    if (!unknown && !frameInProgress)
        return ::testing::AssertionFailure()
               << "m_rxExpected " << dlg.m_rxExpected << " with m_rxLen " << dlg.m_rxLen;
    if (dlg.m_comm.m_rxHead != dlg.m_comm.m_rxTail || dlg.m_comm.m_rxHead < 1 ||
        dlg.m_comm.m_rxHead > RX_RING_SIZE)
        return ::testing::AssertionFailure()
               << "ring " << dlg.m_comm.m_rxHead << "/" << dlg.m_comm.m_rxTail;
    // The control object declared right behind the accumulator: a store past its end would
    // land here first.
    if (dlg.m_comboPort.GetDlgCtrlID() != IDC_COMBO_PORT || !dlg.m_comboPort.IsAttached())
        return ::testing::AssertionFailure() << "the member behind the accumulator changed";
    return ::testing::AssertionSuccess();
}

TEST(ReceiveFuzz, SeededRandomStreamKeepsTheAssemblerInBounds) {
    DialogFixture f;
    COrloDlg& dlg = f.dlg();
    dlg.m_rxExpected = COrloDlg::RX_EXPECT_AFTER_OPEN;
    const std::size_t total = FuzzByteCount();
    StreamGenerator gen(20130307);
    const std::size_t framesBefore = f.wnd().progressLog.size();
    std::size_t fed = 0;
    std::size_t lines = 0;
    std::vector<uint8_t> pending;
    while (fed < total) {
        while (pending.size() < RX_RING_SIZE) gen.AppendPiece(&pending);
        // Mostly reads of the reader's size, sometimes the most the ring can hold at once (a
        // whole ring's worth would bring the write index back to the read index: empty).
        const std::size_t n = gen.Below(50) == 0 ? RX_RING_SIZE - 1 : 1 + gen.Below(RX_READ_MAX);
        f.Feed(std::vector<uint8_t>(pending.begin(), pending.begin() + static_cast<long>(n)));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
        fed += n;
        ASSERT_TRUE(WellFormed(dlg)) << "after " << fed << " bytes";
        // The log list is emptied by log-start frames; count what it ever held.
        lines = std::max(lines, f.wnd().ListItems(IDC_LIST_LOG).size());
    }
    // The stream did reach the consumers, not only the drop paths.
    const std::size_t frames = f.wnd().progressLog.size() - framesBefore;
    EXPECT_GT(frames, total / 20000) << "frames";
    EXPECT_GT(lines, 0u);
    ::testing::Test::RecordProperty("frames", static_cast<int>(frames));
    ::testing::Test::RecordProperty("bytes", static_cast<int>(fed));
}

}  // namespace
}  // namespace orlo::test
