// Sweep settings of the device: every button records a step and asks for the current maximum
// and minimum; the report is answered with all four settings, the step applied.
#include "app/OrloDlg.h"

namespace orlo {

namespace {

constexpr int32_t SWEEP_MAX_LIMIT = 4094;      // highest maximum ever written
constexpr int32_t SWEEP_MIN_BELOW_MAX = 10;    // a minimum above the maximum becomes max - 10
constexpr int32_t SWEEP_DEFAULT_TM = 20000;    // Tm restored by "Read"
constexpr int32_t SWEEP_DEFAULT_TIME = 40;     // ms, sweep time restored by "Read"
constexpr uint32_t SWEEP_REPORT_MIN_LEN = 11;  // bytes: a report shorter than this lacks [4..7]

// What each button records before it asks for the report.
struct SweepStep {
    int32_t maxDelta;
    int32_t minDelta;
    bool restoreDefaults;  // "Read": the report also restores Tm and the sweep time
};

constexpr SweepStep kMaxPlus100{100, 0, false};
constexpr SweepStep kMaxMinus100{-100, 0, false};
constexpr SweepStep kMaxPlus10{10, 0, false};
constexpr SweepStep kMaxMinus10{-10, 0, false};
constexpr SweepStep kMinPlus100{0, 100, false};
constexpr SweepStep kMinMinus100{0, -100, false};
constexpr SweepStep kMinPlus10{0, 10, false};
constexpr SweepStep kMinMinus10{0, -10, false};
constexpr SweepStep kRead{0, 0, true};

// Every sweep button records its step, then asks the device for its current values; the
// report that answers applies the step (OnSweepReport).
void Press(COrloDlg& dlg, const SweepStep& step) {
    dlg.m_maxDelta = step.maxDelta;
    dlg.m_minDelta = step.minDelta;
    if (step.restoreDefaults) dlg.m_sweepReset = 1;  // the others leave a pending restore alone
    dlg.SendSweepQuery();
}

}  // namespace

void COrloDlg::OnSweepMaxPlus100() {
    Press(*this, kMaxPlus100);
}
void COrloDlg::OnSweepMaxMinus100() {
    Press(*this, kMaxMinus100);
}
void COrloDlg::OnSweepMaxPlus10() {
    Press(*this, kMaxPlus10);
}
void COrloDlg::OnSweepMaxMinus10() {
    Press(*this, kMaxMinus10);
}
void COrloDlg::OnSweepMinPlus100() {
    Press(*this, kMinPlus100);
}
void COrloDlg::OnSweepMinMinus100() {
    Press(*this, kMinMinus100);
}
void COrloDlg::OnSweepMinPlus10() {
    Press(*this, kMinPlus10);
}
void COrloDlg::OnSweepMinMinus10() {
    Press(*this, kMinMinus10);
}
void COrloDlg::OnSweepRead() {
    Press(*this, kRead);
}

void COrloDlg::SendSweepQuery() {
    m_txLen = 0;
    m_txFrame[m_txLen++] = FRAME_START;
    m_txFrame[m_txLen++] = 0x00;
    m_txFrame[m_txLen++] = 0x00;
    m_txFrame[m_txLen++] = CMD_SWEEP_QUERY;
    m_txFrame[m_txLen++] = 0x00;  // CRC, filled in by SendFrame
    m_txFrame[m_txLen++] = 0x00;
    m_txFrame[m_txLen++] = FRAME_END;
    m_txFrame[1] = static_cast<uint8_t>(m_txLen >> 8);
    m_txFrame[2] = static_cast<uint8_t>(m_txLen);
    // A new frame: NAKs counted for an earlier one do not use up this one's resends.
    m_retryCount = 0;
    SendFrame(m_txLen);
}

void COrloDlg::OnSweepReport() {
    if (m_rxExpected < SWEEP_REPORT_MIN_LEN) return;
    // A damaged report is never answered with a set frame built from it: ask again.
    if (!TakeReply(m_sweepTrust, false, 0, 4, 4)) {
        if (m_txFrame[3] == CMD_SWEEP_QUERY) {
            AskAgainForDamagedReply();
        } else {
            m_replyDamaged = true;
            SendSweepQuery();
        }
        return;
    }
    UpdateData(true);

    m_sweepMax = m_rxFrame[4] * 256 + m_rxFrame[5] + m_maxDelta;
    if (m_sweepMax > SWEEP_MAX_LIMIT) m_sweepMax = SWEEP_MAX_LIMIT;
    m_sweepMin = m_rxFrame[6] * 256 + m_rxFrame[7] + m_minDelta;
    if (m_sweepMin > m_sweepMax) m_sweepMin = m_sweepMax - SWEEP_MIN_BELOW_MAX;
    if (m_sweepReset == 1) {
        m_tm = SWEEP_DEFAULT_TM;
        m_sweepTime = SWEEP_DEFAULT_TIME;
    }
    m_sweepReset = 0;
    // The steps stay in force: a report that arrives without a new press applies them again.

    // Each value goes out as the low 16 bits of its two's complement, high byte first.
    auto put16 = [this](int32_t value) {
        const auto bits = static_cast<uint32_t>(value);
        m_txFrame[m_txLen++] = static_cast<uint8_t>(bits >> 8);
        m_txFrame[m_txLen++] = static_cast<uint8_t>(bits);
    };
    m_txLen = 0;
    m_txFrame[m_txLen++] = FRAME_START;
    m_txFrame[m_txLen++] = 0x00;
    m_txFrame[m_txLen++] = 0x00;
    m_txFrame[m_txLen++] = CMD_SWEEP_SET;
    put16(m_sweepMax);
    put16(m_sweepMin);
    put16(m_tm);
    put16(m_sweepTime);
    m_txFrame[m_txLen++] = 0x00;  // CRC, filled in by SendFrame
    m_txFrame[m_txLen++] = 0x00;
    m_txFrame[m_txLen++] = FRAME_END;
    m_txFrame[1] = static_cast<uint8_t>(m_txLen >> 8);
    m_txFrame[2] = static_cast<uint8_t>(m_txLen);
    m_retryCount = 0;
    SendFrame(m_txLen);
}

}  // namespace orlo
