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

}  // namespace

void COrloDlg::OnSweepMaxPlus100() {
    m_maxDelta = 100;
    m_minDelta = 0;
    SendSweepQuery();
}

void COrloDlg::OnSweepMaxPlus10() {
    m_maxDelta = 10;
    m_minDelta = 0;
    SendSweepQuery();
}

void COrloDlg::OnSweepMaxMinus100() {
    m_maxDelta = -100;
    m_minDelta = 0;
    SendSweepQuery();
}

void COrloDlg::OnSweepMaxMinus10() {
    m_maxDelta = -10;
    m_minDelta = 0;
    SendSweepQuery();
}

void COrloDlg::OnSweepMinPlus100() {
    m_maxDelta = 0;
    m_minDelta = 100;
    SendSweepQuery();
}

void COrloDlg::OnSweepMinPlus10() {
    m_maxDelta = 0;
    m_minDelta = 10;
    SendSweepQuery();
}

void COrloDlg::OnSweepMinMinus100() {
    m_maxDelta = 0;
    m_minDelta = -100;
    SendSweepQuery();
}

void COrloDlg::OnSweepMinMinus10() {
    m_maxDelta = 0;
    m_minDelta = -10;
    SendSweepQuery();
}

void COrloDlg::OnSweepRead() {
    m_maxDelta = 0;
    m_minDelta = 0;
    m_sweepReset = 1;
    SendSweepQuery();
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
