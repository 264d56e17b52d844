// Sweep adjustment through the dialog: the query every button sends, and the set frame that
// answers a report, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "protocol/Crc16.h"
#include "support/DialogFixture.h"

namespace orlo {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kQuery = {0x04, 0x00, 0x07, 0x50, 0x43, 0xE0, 0x03};

Bytes Report(int max, int min) {
    Bytes frame = {0x04,
                   0x00,
                   0x0B,
                   RSP_SWEEP_REPORT,
                   static_cast<uint8_t>(max >> 8),
                   static_cast<uint8_t>(max),
                   static_cast<uint8_t>(min >> 8),
                   static_cast<uint8_t>(min),
                   0,
                   0,
                   0};
    SealFrame(frame.data(), frame.size());
    return frame;
}

class SweepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        f.OpenFakePort();
        f.TakeWrites();
    }

    COrloDlg& dlg() { return f.dlg(); }

    // The device's reply arrives through the ring and the receive assembler, a little at a
    // time as the reader hands it over.
    void Deliver(const Bytes& frame) {
        for (std::size_t at = 0; at < frame.size(); at += 1000) {
            const std::size_t end = std::min(frame.size(), at + 1000);
            f.Feed(Bytes(frame.begin() + static_cast<long>(at),
                         frame.begin() + static_cast<long>(end)));
        }
    }

    // Presses a button, checks the query, answers with a report; returns the set frame sent.
    Bytes PressAndReport(void (COrloDlg::*button)(), int max, int min) {
        (dlg().*button)();
        EXPECT_EQ(f.TakeWrites(), std::vector<Bytes>{kQuery});
        return Answer(max, min);
    }
    Bytes Answer(int max, int min) {
        Deliver(Report(max, min));
        auto sent = f.TakeWrites();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? Bytes{} : sent[0];
    }

    test::DialogFixture f;
};

TEST_F(SweepTest, EveryButtonRecordsItsStepAndSendsTheSameQuery) {
    struct Button {
        void (COrloDlg::*handler)();
        int maxDelta;
        int minDelta;
        int reset;
    };
    const Button buttons[] = {
        {&COrloDlg::OnSweepMaxPlus100, 100, 0, 0}, {&COrloDlg::OnSweepMaxMinus100, -100, 0, 0},
        {&COrloDlg::OnSweepMaxPlus10, 10, 0, 0},   {&COrloDlg::OnSweepMaxMinus10, -10, 0, 0},
        {&COrloDlg::OnSweepMinPlus100, 0, 100, 0}, {&COrloDlg::OnSweepMinMinus100, 0, -100, 0},
        {&COrloDlg::OnSweepMinPlus10, 0, 10, 0},   {&COrloDlg::OnSweepMinMinus10, 0, -10, 0},
        {&COrloDlg::OnSweepRead, 0, 0, 1},
    };
    for (const Button& b : buttons) {
        dlg().m_maxDelta = 7;
        dlg().m_minDelta = 7;
        dlg().m_sweepReset = 0;
        (dlg().*b.handler)();
        EXPECT_EQ(f.TakeWrites(), std::vector<Bytes>{kQuery});
        EXPECT_EQ(dlg().m_txLen, 7);
        EXPECT_EQ(dlg().m_maxDelta, b.maxDelta);
        EXPECT_EQ(dlg().m_minDelta, b.minDelta);
        EXPECT_EQ(dlg().m_sweepReset, b.reset);
    }
}

TEST_F(SweepTest, SetFramesOfTheWorkedExamples) {
    // "Read" with a report of 2000 / 1000.
    EXPECT_EQ(PressAndReport(&COrloDlg::OnSweepRead, 2000, 1000),
              (Bytes{0x04, 0x00, 0x0F, 0x52, 0x07, 0xD0, 0x03, 0xE8, 0x4E, 0x20, 0x00, 0x28, 0x02,
                     0x44, 0x03}));
    EXPECT_EQ(dlg().m_sweepMax, 2000);
    EXPECT_EQ(dlg().m_sweepMin, 1000);
    EXPECT_EQ(dlg().m_sweepTime, 40);
    EXPECT_EQ(dlg().m_tm, 20000);
    EXPECT_EQ(dlg().m_sweepReset, 0);
    EXPECT_EQ(dlg().m_txLen, 15);

    // "+100" on the maximum with the same report.
    EXPECT_EQ(PressAndReport(&COrloDlg::OnSweepMaxPlus100, 2000, 1000),
              (Bytes{0x04, 0x00, 0x0F, 0x52, 0x08, 0x34, 0x03, 0xE8, 0x4E, 0x20, 0x00, 0x28, 0x18,
                     0x26, 0x03}));
    EXPECT_EQ(dlg().m_sweepMax, 2100);

    // The frame example of the wire format: max 0x0800, min 0x0400, Tm 20000, 40 ms.
    EXPECT_EQ(PressAndReport(&COrloDlg::OnSweepRead, 0x0800, 0x0400),
              (Bytes{0x04, 0x00, 0x0F, 0x52, 0x08, 0x00, 0x04, 0x00, 0x4E, 0x20, 0x00, 0x28, 0xE9,
                     0xA3, 0x03}));
}

struct LimitCase {
    const char* name;
    void (COrloDlg::*button)();
    int reportMax, reportMin;
    int max, min;
    uint8_t wire[4];  // bytes [4..7] of the set frame
};

class SweepLimits : public SweepTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(SweepLimits, StepLimitAndMinimumRule) {
    const LimitCase& c = GetParam();
    const Bytes set = PressAndReport(c.button, c.reportMax, c.reportMin);
    EXPECT_EQ(dlg().m_sweepMax, c.max);
    EXPECT_EQ(dlg().m_sweepMin, c.min);
    ASSERT_EQ(set.size(), 15u);
    EXPECT_EQ(Bytes(set.begin() + 4, set.begin() + 8), Bytes(c.wire, c.wire + 4));
}

INSTANTIATE_TEST_SUITE_P(Examples, SweepLimits,
                         ::testing::Values(LimitCase{"MaxCappedAt4094",
                                                     &COrloDlg::OnSweepMaxPlus100,
                                                     4050,
                                                     1000,
                                                     4094,
                                                     1000,
                                                     {0x0F, 0xFE, 0x03, 0xE8}},
                                           LimitCase{"MaxCappedFromReportAlone",
                                                     &COrloDlg::OnSweepRead,
                                                     0xFFFF,
                                                     0xFFFF,
                                                     4094,
                                                     4084,
                                                     {0x0F, 0xFE, 0x0F, 0xF4}},
                                           LimitCase{"MaxBelowMinPullsMinDown",
                                                     &COrloDlg::OnSweepMaxMinus100,
                                                     1000,
                                                     950,
                                                     900,
                                                     890,
                                                     {0x03, 0x84, 0x03, 0x7A}},
                                           LimitCase{"MinAboveMaxBecomesMaxMinus10",
                                                     &COrloDlg::OnSweepMinPlus10,
                                                     1000,
                                                     995,
                                                     1000,
                                                     990,
                                                     {0x03, 0xE8, 0x03, 0xDE}},
                                           LimitCase{"MinEqualToMaxStays",
                                                     &COrloDlg::OnSweepMinPlus10,
                                                     1000,
                                                     990,
                                                     1000,
                                                     1000,
                                                     {0x03, 0xE8, 0x03, 0xE8}},
                                           LimitCase{"NegativeMinSentAsComplement",
                                                     &COrloDlg::OnSweepMinMinus100,
                                                     2000,
                                                     50,
                                                     2000,
                                                     -50,
                                                     {0x07, 0xD0, 0xFF, 0xCE}},
                                           LimitCase{"NoLowerLimitOnMax",
                                                     &COrloDlg::OnSweepMaxMinus100,
                                                     30,
                                                     0,
                                                     -70,
                                                     -80,
                                                     {0xFF, 0xBA, 0xFF, 0xB0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SweepTest, StepStaysInForceForReportsWithoutAPress) {
    PressAndReport(&COrloDlg::OnSweepMaxMinus10, 1000, 500);
    EXPECT_EQ(dlg().m_sweepMax, 990);
    const Bytes again = Answer(990, 500);
    EXPECT_EQ(dlg().m_sweepMax, 980);
    EXPECT_EQ(Bytes(again.begin() + 4, again.begin() + 6), (Bytes{0x03, 0xD4}));
}

TEST_F(SweepTest, OnlyReadRestoresTmAndSweepTime) {
    // The values shown in the edits are what the report step starts from.
    auto show = [this](int tm, int time) {
        dlg().m_tm = tm;
        dlg().m_sweepTime = time;
        dlg().UpdateData(false);
    };
    show(12345, 77);
    const Bytes kept = PressAndReport(&COrloDlg::OnSweepMinPlus100, 2000, 1000);
    EXPECT_EQ(Bytes(kept.begin() + 8, kept.begin() + 12), (Bytes{0x30, 0x39, 0x00, 0x4D}));

    show(12345, 77);
    const Bytes restored = PressAndReport(&COrloDlg::OnSweepRead, 2000, 1000);
    EXPECT_EQ(Bytes(restored.begin() + 8, restored.begin() + 12), (Bytes{0x4E, 0x20, 0x00, 0x28}));
    EXPECT_EQ(dlg().m_sweepReset, 0);

    show(12345, 77);  // the restore happened once: the next report keeps what is shown
    const Bytes later = Answer(2000, 1000);
    EXPECT_EQ(Bytes(later.begin() + 8, later.begin() + 12), (Bytes{0x30, 0x39, 0x00, 0x4D}));
}

TEST_F(SweepTest, ShortReportIsIgnored) {
    dlg().OnSweepRead();
    f.TakeWrites();
    Deliver({0x04, 0x00, 0x07, 0x51, 0x00, 0x00, 0x03});
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(dlg().m_sweepReset, 1);
}

TEST_F(SweepTest, NakResendsTheQueryWithFreshRetries) {
    dlg().m_retryCount = 5;  // left over from an earlier frame that ended in "Tx Error"
    dlg().OnSweepRead();
    f.TakeWrites();
    const Bytes nak = {0x04, 0x00, 0x07, 0x15, 0x00, 0x00, 0x03};
    for (int i = 0; i < 4; ++i) Deliver(nak);
    EXPECT_EQ(f.TakeWrites(), std::vector<Bytes>(4, kQuery));
    EXPECT_TRUE(f.wnd().boxes.empty());
    Deliver(nak);
    EXPECT_TRUE(f.TakeWrites().empty());
    EXPECT_EQ(f.wnd().BoxTexts(), std::vector<std::string>{"Tx Error"});
}

}  // namespace
}  // namespace orlo
