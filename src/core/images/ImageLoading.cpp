// The four Program buttons: pick an image file, test it against its region's limit, stage it in
// the 8 MiB buffer behind a fill of 0xFF, prime the block counters and send the region's start
// frame. The device's reply to the start frame drives everything after that.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/OrloDlg.h"
#include "images/FlashRegion.h"

namespace orlo {

namespace {

constexpr std::size_t kReadChunk = 1 << 16;  // bytes per read of an image file

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The program's texts, file names included, are UTF-8. A path made from one says so, so that
// every system reads the name as written (Windows would take the bytes in some code page).
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

void COrloDlg::OnProgramApplication() {
    StartProgramming(Region(RegionId::Application));
}

void COrloDlg::OnProgramVoice() {
    StartProgramming(Region(RegionId::Voice));
}

void COrloDlg::OnProgramMap() {
    StartProgramming(Region(RegionId::Map));
}

void COrloDlg::OnProgramUser() {
    StartProgramming(Region(RegionId::User));
}

void COrloDlg::StartProgramming(const FlashRegion& region) {
    if (!MayStartRun()) return;
    FileDialogRequest request;
    request.open = true;
    request.flags = 0;
    request.filter = std::string(region.openFilter);
    request.ownedByDialog = true;
    const FileDialogResult chosen = m_wnd->DoFileDialog(request);
    if (!chosen.ok) return;
    const std::string& path = chosen.fullPath;
    // A file that looks like another region's is loaded only when the user says so.
    if (m_env.imageQuestion) {
        const std::string question = m_env.imageQuestion(region, path);
        if (!question.empty() &&
            AfxMessageBox(question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
            return;
    }
    // The port may have gone while the dialog was open.
    if (!MayStartRun()) return;

    // A file that cannot be opened or measured, and an empty one, are refused before anything
    // is touched: no staged byte, counter or frame changes. An empty image would have no block
    // to write and nothing to take a percentage of. Only a regular file is opened: a pipe or
    // a device could hold the open or the reads for ever.
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(PathOf(path), ec);
    if (!std::filesystem::exists(status)) {
        AfxMessageBox("Can not open " + path);
        return;
    }
    if (!std::filesystem::is_regular_file(status)) {
        AfxMessageBox("Can not read " + path);
        return;
    }
    errno = 0;
    FilePtr file(OpenUtf8(path, "rb"));
    if (!file) {
        // The file is fine when the process has run out of descriptors: say so, or the
        // user looks for a fault in the image.
        const int err = errno;
        const bool noDescriptor = err == EMFILE || err == ENFILE;
        AfxMessageBox("Can not open " + path +
                      (noDescriptor ? ": " + std::generic_category().message(err) : ""));
        return;
    }
    // The opened file is measured and read, never the path again: a save that replaces the
    // file meanwhile (a rename) cannot mix two files.
    std::uintmax_t length = 0;
    const long end = std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : -1L;
    if (end >= 0 && std::fseek(file.get(), 0, SEEK_SET) == 0) {
        length = static_cast<std::uintmax_t>(end);
    } else {
        // Too long for the position type of this system (beyond every limit), or not seekable.
        length = std::filesystem::file_size(PathOf(path), ec);
        if (ec || length <= region.maxSize) {
            AfxMessageBox("Can not read " + path);
            return;
        }
    }
    // A file the system measures as 0 bytes may still yield bytes when read (the files of
    // /proc and /sys are made as they are read): it is read as a stream, up to one byte
    // beyond the region's size, and only one that yields nothing is empty.
    std::vector<uint8_t> streamed;
    if (length == 0) {
        streamed.resize(static_cast<std::size_t>(region.maxSize) + 1);
        std::size_t got = 0;
        while (got < streamed.size()) {
            const std::size_t n = std::fread(streamed.data() + got, 1, streamed.size() - got,
                                             file.get());
            if (n == 0) break;
            got += n;
        }
        if (std::ferror(file.get())) {
            AfxMessageBox("Can not read " + path);
            return;
        }
        streamed.resize(got);
        length = got;
    }
    if (length == 0) {
        AfxMessageBox("The image file is empty: " + path);
        return;
    }
    // The limit is tested before anything is touched: a refused file leaves the staged image
    // and its counters as they were.
    if (length >= static_cast<std::uintmax_t>(region.maxSize) + 1) {
        AfxMessageBox(std::string(region.tooBig));
        return;
    }
    const auto size = static_cast<uint32_t>(length);

    m_wnd->BeginWaitCursor();
    m_image.Fill(0xFF);
    // The measured bytes of the opened file in large reads, in file order. A file that grows
    // meanwhile is programmed as measured; one that shrank or failed is refused.
    uint8_t* dest = m_image.Range(0, size);
    std::size_t done = 0;
    if (!streamed.empty()) {
        std::copy(streamed.begin(), streamed.end(), dest);
        done = streamed.size();
    }
    while (done < size) {
        const std::size_t want = std::min<std::size_t>(kReadChunk, size - done);
        const std::size_t got = std::fread(dest + done, 1, want, file.get());
        if (got == 0) break;
        done += got;
    }
    const bool whole = done == size && !std::ferror(file.get());
    m_wnd->EndWaitCursor();
    file.reset();
    if (!whole) {
        // Fewer bytes than measured, or a read error: no partly staged image is ever sent.
        m_image.Fill(0xFF);
        AfxMessageBox("Can not read " + path + ": the file changed while it was being read");
        return;
    }
    m_imageSize = size;

    m_txLen = FRAME_MIN_LEN;
    m_imageOffset = 0;
    m_imageBase = region.base;
    m_retryCount = 0;

    m_txFrame[0] = FRAME_START;
    m_txFrame[1] = 0x00;
    m_txFrame[2] = static_cast<uint8_t>(FRAME_MIN_LEN);
    m_txFrame[3] = RegionCommand(region.family, CMD_START);
    m_txFrame[6] = FRAME_END;

    m_progressBar.SetPos(0);
    SendFrame(m_txLen);
    m_programmingActive = m_comm.m_bConnected.load() != 0;  // no port: no run begins
    UpdateData(false);
}

}  // namespace orlo
