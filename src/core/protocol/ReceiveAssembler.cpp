// The receive assembler: takes the received bytes out of the port's ring one at a time,
// collects them into one unit at a time (a frame or a text line), and hands each complete unit
// to its consumer. Every reply-driven step of the protocol runs from here.
//
// A unit whose first byte is FRAME_START is a frame unit and is complete when as many bytes as
// its length field declares have arrived; any other unit is a text unit and is complete at its
// first LF (the first unit after Open also at 250 bytes). A complete unit ending in CR LF or
// LF CR is a text line; otherwise one that starts with FRAME_START and ends with FRAME_END is
// a frame; anything else is dropped. No CRC is examined.
//
// Bounds of our own, so that nothing is ever stored beyond the 4107-byte accumulator and no
// unit waits for bytes that cannot complete it:
//  - a frame whose length field declares fewer than 4 bytes (it could never complete, or would
//    complete before its response byte) or more than 4107 bytes (the largest reply the device
//    sends) is dropped as soon as the field has been read;
//  - a unit that reaches 4107 bytes without completing is dropped.
// A dropped unit is gone and the next byte starts a new unit, as after any other dropped unit.
// We do not skip the rest of an oversize frame by its length field: the device never sends
// more than 4107 bytes, so such a length is line noise or a text line that happens to start
// with FRAME_START, and skipping up to 65532 bytes on its word would swallow the replies and
// lines that follow. Whatever follows is collected by the ordinary rules and is itself bounded
// by the 4107-byte limit.
//
// A frame too short to hold the fields its consumer reads (read data, check data, the sweep
// report) is not handed to that consumer; it counts as a frame all the same, so the progress
// bar is set as after any frame.
#include <algorithm>

#include "app/OrloDlg.h"

namespace orlo {

namespace {

constexpr uint8_t LF = 0x0A;
constexpr uint8_t CR = 0x0D;
constexpr int FRAME_LENGTH_FIELD_END = 3;   // bytes [0..2] read: the declared length is known
constexpr int FRAME_SHORTEST_ROUTABLE = 4;  // bytes up to and including the response code

// Shortest frame that holds everything its consumer reads.
constexpr uint32_t READ_DATA_MIN_LEN = 4107;   // [8..4103] the 4096 data bytes, then CRC, end
constexpr uint32_t CHECK_DATA_MIN_LEN = 27;    // [8..23] the 16 check bytes, then CRC, end
constexpr uint32_t SWEEP_REPORT_MIN_LEN = 11;  // [4..7] maximum and minimum, then CRC, end

void ResetUnit(COrloDlg& dlg) {
    dlg.m_lineText.clear();
    dlg.m_rxFrame[2] = 0;
    dlg.m_rxFrame[3] = 0;
    dlg.m_rxFrame[4] = 0;
    dlg.m_rxLen = 0;
    dlg.m_rxExpected = COrloDlg::RX_EXPECT_UNKNOWN;
}

// Resets the unit when its handling ends, also when a consumer throws (the window procedure
// reports the error): the next byte must never find a complete or overfull unit.
class UnitReset {
  public:
    explicit UnitReset(COrloDlg& dlg) : m_dlg(dlg) {}
    ~UnitReset() { ResetUnit(m_dlg); }
    UnitReset(const UnitReset&) = delete;
    UnitReset& operator=(const UnitReset&) = delete;

  private:
    COrloDlg& m_dlg;
};

bool IsTextLine(const COrloDlg& dlg, int length) {
    if (length < 2) return false;
    const uint8_t last = dlg.m_rxFrame[static_cast<std::size_t>(length - 1)];
    const uint8_t before = dlg.m_rxFrame[static_cast<std::size_t>(length - 2)];
    return (last == LF && before == CR) || (last == CR && before == LF);
}

void DispatchFrame(COrloDlg& dlg, uint32_t length) {
    const uint8_t code = dlg.m_rxFrame[3];
    if (code == RSP_LOG_START) {
        dlg.OnLogStart();
    } else if (code == RSP_ACK) {
        dlg.OnAck();
    } else if (code == RSP_NAK) {
        dlg.m_replyDamaged = false;  // the device refused a frame
        dlg.OnNak();
    } else if (IsReadCommand(code)) {
        if (length >= READ_DATA_MIN_LEN) dlg.OnReadData();
    } else if (code == CMD_CHECK) {
        if (length >= CHECK_DATA_MIN_LEN) dlg.OnCheckData();
    } else if (code == RSP_SWEEP_REPORT) {
        if (length >= SWEEP_REPORT_MIN_LEN) dlg.OnSweepReport();
    }
    // Any other code has no consumer.
}

// Classifies the complete unit of m_rxLen (= m_rxExpected) bytes and hands it on.
void HandleUnit(COrloDlg& dlg) {
    UnitReset reset(dlg);
    const int length = dlg.m_rxLen;
    if (IsTextLine(dlg, length)) {
        dlg.OnDeviceLine();
        return;
    }
    if (dlg.m_rxFrame[0] == FRAME_START &&
        dlg.m_rxFrame[static_cast<std::size_t>(length - 1)] == FRAME_END) {
        const auto& gate = dlg.FrameGate();
        if (gate && !gate(dlg.m_rxFrame.data(), static_cast<uint32_t>(length))) return;
        DispatchFrame(dlg, static_cast<uint32_t>(length));
        dlg.m_progressBar.SetPos(dlg.m_progress);
    }
    // Anything else is dropped without a word.
}

void AssembleByte(COrloDlg& dlg, uint8_t byte) {
    // The count is ours alone, but Open and the consumers touch the receive state too; never
    // trust it with a store.
    if (dlg.m_rxLen < 0 || dlg.m_rxLen >= FRAME_MAX_LEN) ResetUnit(dlg);

    dlg.m_rxFrame[static_cast<std::size_t>(dlg.m_rxLen)] = byte;
    ++dlg.m_rxLen;
    const bool frameUnit = dlg.m_rxFrame[0] == FRAME_START;

    if (!frameUnit && byte == LF) dlg.m_rxExpected = static_cast<uint32_t>(dlg.m_rxLen);

    if (frameUnit && dlg.m_rxLen == FRAME_LENGTH_FIELD_END) {
        const uint32_t declared = static_cast<uint32_t>(dlg.m_rxFrame[1]) * 256u + dlg.m_rxFrame[2];
        if (declared < FRAME_SHORTEST_ROUTABLE || declared > static_cast<uint32_t>(FRAME_MAX_LEN)) {
            ResetUnit(dlg);
            return;
        }
        dlg.m_rxExpected = declared;
    }

    if (static_cast<uint32_t>(dlg.m_rxLen) == dlg.m_rxExpected) {
        HandleUnit(dlg);
        return;
    }
    if (dlg.m_rxLen >= FRAME_MAX_LEN) ResetUnit(dlg);  // full and still not complete
}

}  // namespace

void COrloDlg::RouteFrame(const uint8_t* frame, uint32_t length) {
    if (length < FRAME_SHORTEST_ROUTABLE || length > static_cast<uint32_t>(FRAME_MAX_LEN)) return;
    UnitReset reset(*this);
    std::copy(frame, frame + length, m_rxFrame.begin());
    m_rxLen = static_cast<int32_t>(length);
    m_rxExpected = length;
    DispatchFrame(*this, length);
    m_progressBar.SetPos(m_progress);
}

intptr_t COrloDlg::OnCommRx(uintptr_t, intptr_t) {
    // The reader stores each byte at m_rxTail % 1024 and then advances m_rxTail, so both
    // indices run from 1 to 1024 once used and are compared as stored. The reader waits in its
    // synchronous notification while we drain, so the ring does not change under us.
    CComm& comm = m_comm;
    while (comm.m_rxHead != comm.m_rxTail) {
        comm.m_rxHead = ((comm.m_rxHead % RX_RING_SIZE) + RX_RING_SIZE) % RX_RING_SIZE;
        const uint8_t byte = comm.m_rxRing[comm.m_rxHead];
        ++comm.m_rxHead;
        AssembleByte(*this, byte);
    }
    // The consumers only change members; this is where their texts and numbers reach the
    // screen, also when nothing was waiting.
    UpdateData(false);
    return 1;
}

}  // namespace orlo
