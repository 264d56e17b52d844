// The reply-driven programming run: after the start frame every ACK sends the next 4096-byte
// write block, then every block again as a verify block, then finishes. The phase is the
// command byte of the last frame sent; a NAK resends that frame, at most four times in a row.
#include <cstring>
#include <string>

#include "app/OrloDlg.h"

namespace orlo {

namespace {

constexpr uint8_t kOpMask = 0x0F;  // low nibble of a region command: the operation

bool IsRegionFamily(uint8_t cmd) {
    const uint8_t family = cmd & 0xF0;
    return family == CMD_FAMILY_APPLICATION || family == CMD_FAMILY_VOICE ||
           family == CMD_FAMILY_MAP || family == CMD_FAMILY_USER;
}

bool IsStart(uint8_t cmd) {
    return IsRegionFamily(cmd) && (cmd & kOpMask) == CMD_START;
}
bool IsWrite(uint8_t cmd) {
    return IsRegionFamily(cmd) && (cmd & kOpMask) == CMD_WRITE;
}
bool IsVerify(uint8_t cmd) {
    return IsRegionFamily(cmd) && (cmd & kOpMask) == CMD_VERIFY;
}

const char* CompletionMessage(uint8_t verifyCmd) {
    switch (verifyCmd & 0xF0) {
        case CMD_FAMILY_VOICE:
            return "Programming completed of Voice data";
        case CMD_FAMILY_MAP:
            return "Programming completed of Map data";
        default:
            return "Programming completed of User data";
    }
}

}  // namespace

uint8_t COrloDlg::ProgressPercent(uint32_t offset, uint32_t size) {
    // An empty image has nothing left to do; loading refuses one, so this only guards the
    // division.
    if (size == 0) return 100;
    const uint32_t percent = offset * 100u / size;
    return static_cast<uint8_t>(percent > 100 ? 100 : percent);
}

uint32_t COrloDlg::CountdownSeconds(uint32_t imageSize) {
    const uint32_t n = imageSize / 2048 + 1;
    return static_cast<uint32_t>(n * 0.1 + 1.0);
}

void COrloDlg::BuildBlockFrame(uint8_t command) {
    // Index-tested before anything is written: a block outside the buffer leaves the frame as
    // it was.
    const uint8_t* block = m_image.Range(m_imageOffset, BLOCK_SIZE);
    const uint32_t address = m_imageBase + m_imageOffset;
    m_txFrame[0] = FRAME_START;
    m_txFrame[1] = static_cast<uint8_t>(FRAME_MAX_LEN >> 8);
    m_txFrame[2] = static_cast<uint8_t>(FRAME_MAX_LEN & 0xFF);
    m_txFrame[3] = command;
    m_txFrame[4] = static_cast<uint8_t>(address >> 24);
    m_txFrame[5] = static_cast<uint8_t>(address >> 16);
    m_txFrame[6] = static_cast<uint8_t>(address >> 8);
    m_txFrame[7] = static_cast<uint8_t>(address);
    std::memcpy(&m_txFrame[8], block, BLOCK_SIZE);
    m_txFrame[FRAME_MAX_LEN - 1] = FRAME_END;  // the CRC goes in front of it when sent
    m_txLen = FRAME_MAX_LEN;
    SendFrame(m_txLen);
}

void COrloDlg::OnAck() {
    const uint8_t cmd = m_txFrame[3];
    m_retryCount = 0;

    if (IsStart(cmd) || IsWrite(cmd)) {
        if (m_imageOffset < m_imageSize) {
            BuildBlockFrame(RegionCommand(cmd & 0xF0, CMD_WRITE));
            m_imageOffset += BLOCK_SIZE;
            m_progress = ProgressPercent(m_imageOffset, m_imageSize);
            m_status = "Programming " + std::to_string(m_progress) + " %";
        } else {
            m_imageOffset = 0;
            BuildBlockFrame(RegionCommand(cmd & 0xF0, CMD_VERIFY));
            m_imageOffset += BLOCK_SIZE;
            m_progress = ProgressPercent(m_imageOffset, m_imageSize);
            m_status = "Verifying " + std::to_string(m_progress) + " %";
        }
        return;
    }

    if (IsVerify(cmd)) {
        if (m_imageOffset < m_imageSize) {
            BuildBlockFrame(cmd);
            m_imageOffset += BLOCK_SIZE;
            m_progress = ProgressPercent(m_imageOffset, m_imageSize);
            m_status = "Verifying " + std::to_string(m_progress) + " %";
        } else if (cmd == RegionCommand(CMD_FAMILY_APPLICATION, CMD_VERIFY)) {
            m_txLen = FRAME_MIN_LEN;
            m_txFrame[0] = FRAME_START;
            m_txFrame[1] = 0x00;
            m_txFrame[2] = static_cast<uint8_t>(FRAME_MIN_LEN);
            m_txFrame[3] = CMD_FINISH;
            m_txFrame[6] = FRAME_END;
            SendFrame(m_txLen);
            m_programmingActive = false;
            m_countdown = CountdownSeconds(m_imageSize);
            m_progress = 100;
            m_status = "Wait please";
            m_wnd->SetTimer(COUNTDOWN_TIMER_ID, COUNTDOWN_TIMER_PERIOD_MS);
            // The port's close hands every queued byte to the device before it discards
            // anything, so the finish frame goes out whole.
            OnClosePort();
        } else {
            m_programmingActive = false;
            m_progress = 100;
            m_status = "Ready ";
            UpdateData(false);
            AfxMessageBox(CompletionMessage(cmd));
        }
        return;
    }

    if (cmd == CMD_FINISH) {
        m_progress = 100;
        m_status = "Ready";
        UpdateData(false);
    }
    // Read-back, check and sweep frames: nothing beyond the reset of the resend count.
}

void COrloDlg::OnNak() {
    const uint8_t cmd = m_txFrame[3];
    if (IsStart(cmd)) {
        AfxMessageBox("Check Flash Memory please.....");
        return;
    }
    ++m_retryCount;
    if (m_retryCount <= MAX_RESENDS) {
        SendFrame(m_txLen);
    } else {
        // The run stays under way: a reply that still comes continues it. Close ends it.
        m_progress = 0;
        AfxMessageBox("Tx Error");
    }
}

}  // namespace orlo
