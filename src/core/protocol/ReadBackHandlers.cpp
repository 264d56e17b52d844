// Read-back of whole flash regions into a file, and the application check block.
#include <algorithm>
#include <optional>
#include <string>

#include "app/OrloDlg.h"
#include "app/OutputFile.h"
#include "images/FlashRegion.h"
#include "protocol/ReadBack.h"

namespace orlo {

namespace {

// A read-data reply carries its block at [8..4103] and must be a whole 4107-byte frame;
// a check reply carries 16 bytes at [8..23] and must be at least 27 bytes long.
constexpr std::size_t READ_DATA_OFFSET = 8;
constexpr uint32_t READ_REPLY_MIN_LEN = FRAME_MAX_LEN;
constexpr std::size_t CHECK_DATA_OFFSET = 8;
constexpr uint32_t CHECK_REPLY_MIN_LEN = READ_DATA_OFFSET + CHECK_BLOCK_LEN + FRAME_OVERHEAD;

// Writes the 11-byte read or check request for `address` into `frame`, CRC bytes zero.
void BuildReadRequest(uint8_t* frame, uint8_t command, uint32_t address) {
    frame[0] = FRAME_START;
    frame[1] = 0x00;
    frame[2] = READ_REQUEST_LEN;
    frame[3] = command;
    frame[4] = static_cast<uint8_t>(address >> 24);
    frame[5] = static_cast<uint8_t>(address >> 16);
    frame[6] = static_cast<uint8_t>(address >> 8);
    frame[7] = static_cast<uint8_t>(address);
    frame[8] = 0x00;
    frame[9] = 0x00;
    frame[10] = FRAME_END;
}

// The bytes of whole blocks that hold `length` bytes.
uint32_t WholeBlocks(uint32_t length) {
    return (length + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
}

// The bytes of the block at `offset` that a file of `length` bytes gets: a whole block, or what
// is left of the length in its last block (a length of 0 cuts nothing).
std::size_t BytesOfBlock(uint32_t offset, uint32_t length) {
    if (length > offset && length - offset < BLOCK_SIZE) return length - offset;
    return BLOCK_SIZE;
}

std::string CanNotWrite(const std::string& path) {
    return "Can not write " + path;
}

// The partial file sits beside the chosen one under this name (then -2, -3, ...).
constexpr const char* kPartialSuffix = ".partial";

}  // namespace

void COrloDlg::OnReadApplication() {
    StartReadBack(ReadBackRowFor(RegionId::Application));
}

void COrloDlg::OnReadMap() {
    StartReadBack(ReadBackRowFor(RegionId::Map));
}

void COrloDlg::OnReadVoice() {
    StartReadBack(ReadBackRowFor(RegionId::Voice));
}

void COrloDlg::OnReadUser() {
    StartReadBack(ReadBackRowFor(RegionId::User));
}

void COrloDlg::StartReadBack(const ReadBackRow& row) {
    UpdateData(true);
    if (!MayStartRun()) return;

    FileDialogRequest request;
    request.open = false;
    request.defaultExt = row.defExt;
    request.initialName = row.initName;
    request.flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    request.filter = row.filter;
    request.ownedByDialog = false;
    const FileDialogResult chosen = m_wnd->DoFileDialog(request);

    // Cancelled: nothing is touched, nothing is sent. The port may have gone while the dialog
    // was open: then nothing is created either.
    if (chosen.ok && !chosen.fileName.empty() && !chosen.fullPath.empty() && MayStartRun()) {
        // Only a regular file is written: a pipe would hold this thread in the open for ever
        // and a device node would receive the flash contents.
        const std::string refusal = OutputRefusal(chosen.fullPath);
        // The blocks go to a new file beside the chosen one (beside a link's target); the
        // chosen file is replaced only when the whole region has arrived.
        const std::string target = ResolvedOutput(chosen.fullPath);
        // It is created new, never through a link, as private as the file it will replace.
        const std::optional<OwnFile> partial =
            refusal.empty() ? CreateBeside(target, kPartialSuffix) : std::nullopt;
        if (!refusal.empty()) {
            AfxMessageBox(CanNotWrite(chosen.fullPath) + ": " + refusal);
        } else if (!partial) {
            AfxMessageBox(CanNotWrite(chosen.fullPath));
        } else {
            const FlashRegion& region = Region(row.region);
            m_readBackPath = partial->path;
            m_readBackId = partial->id;
            m_readBackTarget = target;
            // A length reads only the blocks that hold it; the file is cut to it.
            const uint32_t length = m_readBackLength == 0
                                        ? region.maxSize
                                        : std::min(m_readBackLength, region.maxSize);
            m_verifying = false;
            BeginReadRequests(row, length, WholeBlocks(length));
        }
    }
    UpdateData(false);
}

void COrloDlg::StartVerify(const ReadBackRow& row, std::vector<uint8_t> image) {
    if (RunUnderWay()) {
        AfxMessageBox(kRunUnderWay);
        return;
    }
    const FlashRegion& region = Region(row.region);
    if (image.empty()) {
        AfxMessageBox("The image to compare with is empty");
        return;
    }
    if (image.size() > region.maxSize) {
        AfxMessageBox(std::string(region.tooBig));
        return;
    }
    const auto bytes = static_cast<uint32_t>(image.size());
    m_verify.Begin(region.base, std::move(image));
    m_readBackPath.clear();
    m_readBackId = {};
    m_readBackTarget.clear();
    m_verifying = true;
    BeginReadRequests(row, bytes, m_verify.PaddedBytes());
    UpdateData(false);
}

void COrloDlg::BeginReadRequests(const ReadBackRow& row, uint32_t bytes, uint32_t blockBytes) {
    const FlashRegion& region = Region(row.region);
    m_imageBase = region.base;
    m_imageOffset = 0;
    m_imageSize = blockBytes;
    m_readBackBytes = bytes;
    m_txLen = READ_REQUEST_LEN;
    m_retryCount = 0;
    m_readBackActive = true;
    BuildReadRequest(m_txFrame.data(), row.readCommand, m_imageBase);
    m_progressBar.SetPos(0);
    SendFrame(READ_REQUEST_LEN);
    // No port: no run begins, and no empty partial file is left behind.
    if (!m_comm.m_bConnected.load()) AbandonReadBack();
}

void COrloDlg::OnReadData() {
    // Only the reply to the read request last sent belongs to the run: a reply when no
    // read-back is under way, or after another frame has replaced the request (a check, a
    // sweep query, a programming start), would otherwise land in the file and drive the
    // shared counters. A reply too short to hold a whole block is ignored as well.
    if (!m_readBackActive || m_rxFrame[3] != m_txFrame[3] || !IsReadCommand(m_txFrame[3]) ||
        m_rxExpected < READ_REPLY_MIN_LEN) {
        return;
    }

    if (!TakeReply(m_readTrust, true, m_imageBase + m_imageOffset, READ_DATA_OFFSET,
                   BLOCK_SIZE)) {
        AskAgainForDamagedReply();  // the same block again, as after a NAK
        return;
    }

    const uint8_t* block = m_rxFrame.data() + READ_DATA_OFFSET;
    if (m_verifying) {
        // A block that differs is taken for a difference only when the reply proves itself
        // (its CRC is filled and right) or when a second reading brings the same bytes:
        // damage that a CRC left unfilled cannot show must never count as a difference.
        if (!m_verify.Equal(m_imageOffset, block) && m_readTrust.Crc() != FieldTrust::Filled &&
            !m_verify.SecondReadingAgrees(m_imageOffset, block)) {
            AskAgainForDamagedReply();
            return;
        }
        m_verify.Record(m_imageOffset, block);
    } else if (!AppendOwned({m_readBackPath, m_readBackId}, block,
                            BytesOfBlock(m_imageOffset, m_readBackBytes))) {
        // Stop rather than lose blocks: the partial file keeps what was appended so far, and
        // the chosen file stays as it was.
        const std::string partial = m_readBackPath;
        AbandonReadBack();
        m_progress = 0;
        AfxMessageBox(CanNotWrite(partial));
        return;
    }

    m_imageOffset += BLOCK_SIZE;
    if (m_imageOffset < m_imageSize) {
        BuildReadRequest(m_txFrame.data(), m_txFrame[3], m_imageBase + m_imageOffset);
        m_txLen = READ_REQUEST_LEN;
        m_retryCount = 0;
        SendFrame(READ_REQUEST_LEN);
        m_progress = ProgressPercent(m_imageOffset, m_imageSize);
        m_status = (m_verifying ? "Verifying " : "Reading ") + std::to_string(m_progress) + " %";
        return;
    }

    m_readBackActive = false;
    if (m_verifying) {
        m_verifying = false;
        m_status = "Ready";
        m_progress = 100;
        UpdateData(false);
        for (const auto& row : kReadBackRows) {
            if (row.readCommand == m_txFrame[3]) {
                AfxMessageBox(std::string(row.verified));
                break;
            }
        }
        return;
    }
    std::string why;
    if (!ReplaceWith({m_readBackPath, m_readBackId}, m_readBackTarget, &why)) {
        // Every block is there, only the last step failed: say where they are.
        m_progress = 0;
        AfxMessageBox(CanNotWrite(m_readBackTarget) + " (" + why + "); the " +
                      std::to_string(m_readBackBytes) + " bytes read are in " + m_readBackPath);
        return;
    }
    m_readBackPath = m_readBackTarget;
    m_status = "Ready";
    m_progress = 100;
    UpdateData(false);
    for (const auto& row : kReadBackRows) {
        if (row.readCommand == m_txFrame[3]) {
            AfxMessageBox(ReadCompletedMessage(row, m_readBackTarget));
            break;
        }
    }
}

std::string COrloDlg::AbandonReadBack() {
    if (!m_readBackActive) return {};
    m_readBackActive = false;
    if (m_verifying) {
        m_verifying = false;  // nothing was written
        return {};
    }
    // Only the partial file this read-back created is looked at or removed: when its name
    // no longer leads to it (or it cannot be looked at), whatever is there now stays.
    const OwnFile partial{m_readBackPath, m_readBackId};
    const std::optional<uint64_t> kept = OwnedSize(partial);
    if (!kept) {
        // The file it was is gone from its name: forget who it was, since the file system may
        // give its number to the next file made, which must not be taken for ours.
        m_readBackId = {};
        return "Reading stopped: " + m_readBackPath + " is no longer the file the blocks went to; " +
               m_readBackTarget + " is unchanged";
    }
    if (*kept == 0) {
        // Nothing was read: no empty file is left behind.
        RemoveOwned(partial);
        m_readBackPath.clear();
        m_readBackId = {};
        return {};
    }
    return "Reading stopped: " + std::to_string(*kept) + " of " + std::to_string(m_readBackBytes) +
           " bytes are kept in " + m_readBackPath + "; " + m_readBackTarget + " is unchanged";
}

void COrloDlg::OnCheckApplication() {
    if (!MayStartRun()) return;
    m_txLen = READ_REQUEST_LEN;
    m_retryCount = 0;
    BuildReadRequest(m_txFrame.data(), CMD_CHECK, CHECK_BLOCK_ADDRESS);
    m_progressBar.SetPos(0);
    SendFrame(READ_REQUEST_LEN);
}

void COrloDlg::OnCheckData() {
    if (m_rxExpected < CHECK_REPLY_MIN_LEN) return;
    // The answer to our check request is judged; a damaged one is asked for again.
    if (m_txFrame[3] == CMD_CHECK &&
        !TakeReply(m_checkTrust, true, CHECK_BLOCK_ADDRESS, CHECK_DATA_OFFSET, CHECK_BLOCK_LEN)) {
        AskAgainForDamagedReply();
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    m_checkText.clear();
    for (int i = 0; i < CHECK_BLOCK_LEN; ++i) {
        const uint8_t b = m_rxFrame[CHECK_DATA_OFFSET + static_cast<std::size_t>(i)];
        m_checkText += kHex[b >> 4];
        m_checkText += kHex[b & 0x0F];
        m_checkText += ' ';
    }
}

}  // namespace orlo
