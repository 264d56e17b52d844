// COrloDlg: construction, start-up, the keyboard filter, the system menu, painting and the
// small handlers that belong to the window itself.
#include "app/OrloDlg.h"

#include <cstdio>
#include <memory>

#include "app/DialogTemplate.h"

namespace orlo {

COrloDlg::COrloDlg(const OrloEnvironment& env) : m_comm(env.serial), m_env(env), m_wnd(env.window) {
    m_hIcon = IDR_MAINFRAME;
    // Every message for the window reaches this dialog; the window holds no other state of it.
    m_wnd->SetWndProc(
        [this](uint32_t msg, uintptr_t w, intptr_t l) { return WindowProc(msg, w, l); });
}

COrloDlg::~COrloDlg() {
    // The window goes first: a notification the reader is still sending returns at once
    // instead of reaching a dialog that is being taken apart. Then the members go in reverse
    // order, and m_comm closes a port that is still open and joins its reader.
    m_wnd->Destroy();
    // A read-back under way ends here: the partial file stays beside the chosen one.
    AbandonReadBack();
}

bool COrloDlg::OnInitDialog() {
    // What the dialog base does before us: the controls exist (the hidden ones without the
    // visible style) and the members are written into them once.
    for (const auto& control : kMainDialogTemplate.controls)
        if (control.id != IDC_STATIC && !control.shown) m_wnd->ShowControl(control.id, false);
    UpdateData(false);

    m_wnd->AppendSystemMenu(IDM_ABOUTBOX, kAboutMenuText);  // after a separator
    m_wnd->SetIcon(m_hIcon, true);
    m_wnd->SetIcon(m_hIcon, false);
    m_wnd->SetTitle(kWindowTitle);

    m_image.SetSize(IMAGE_BUFFER_SIZE);
    m_imageSize = 0;
    m_imageOffset = 0;
    m_progressBar.SetPos(0);

    m_btnOpen.EnableWindow(false);
    m_btnClose.EnableWindow(false);

    m_status = "Ready";
    m_sweepTime = 40;
    m_tm = 20000;
    UpdateData(false);
    return true;
}

bool COrloDlg::PreTranslateMessage(const InputMessage& msg) {
    UpdateData(true);  // a control that holds no number keeps its member; nothing to report
    if (msg.message == WM_KEYDOWN) {
        // Neither Enter nor Escape may end the dialog: it closes only by its close box.
        if (msg.wParam == static_cast<uintptr_t>(VK_RETURN)) return msg.focusId != IDOK;
        if (msg.wParam == static_cast<uintptr_t>(VK_ESCAPE)) return true;
    }
    return false;
}

void COrloDlg::OnSysCommand(unsigned id, intptr_t) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) m_wnd->ShowAboutBox();
    // Every other command (minimise, move, close) is the front-end's default processing.
}

void COrloDlg::OnPaint() {
    // Nothing to draw here: the front-end paints the controls, and when the window is
    // minimised it centres the icon with IconOffset.
}

int COrloDlg::IconOffset(int clientExtent, int iconExtent) {
    return (clientExtent - iconExtent + 1) / 2;
}

intptr_t COrloDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void COrloDlg::OnMouseMove(unsigned, int x, int y) {
    m_mouseX = x;
    m_mouseY = y;
    UpdateData(false);
    // The default processing of the move has nothing to do here.
    UpdateData(false);
}

void COrloDlg::OnReadLogAndSave() {
    FileDialogRequest request;
    request.open = true;
    request.flags = 0;
    request.filter = "csv file(*.csv), csv file(*.csv)|*.csv;*.csv";
    const FileDialogResult chosen = m_wnd->DoFileDialog(request);
    if (chosen.ok) {
        // The file is read through and nothing of it is kept. One that cannot be opened is
        // left alone.
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            OpenUtf8(chosen.fullPath, "rb"), &std::fclose);
        if (file) {
            m_wnd->BeginWaitCursor();
            static constexpr std::size_t kChunk = 64 * 1024;
            auto buffer = std::make_unique<char[]>(kChunk);
            while (std::fread(buffer.get(), 1, kChunk, file.get()) == kChunk) {
            }
            m_wnd->EndWaitCursor();
        }
    }
    UpdateData(false);
}

bool COrloDlg::OnDeviceChange(unsigned, uintptr_t) {
    // Arrival and removal of devices do not refresh the port list; dropping it down does.
    return true;
}

bool COrloDlg::MayStartRun() {
    // Without a port the file dialog would come to nothing: no frame reaches a device.
    if (!m_comm.m_bConnected.load()) {
        AfxMessageBox(kNoPortOpen);
        return false;
    }
    // One run at a time: a load during a run would change the image, the counters and the
    // frame under the replies still coming.
    if (RunUnderWay()) {
        AfxMessageBox(kRunUnderWay);
        return false;
    }
    return true;
}

std::time_t COrloDlg::Now() const {
    return m_env.now ? m_env.now() : std::time(nullptr);
}

int COrloDlg::AfxMessageBox(const std::string& text, unsigned type) {
    return m_wnd->MessageBox(text, kAppTitle, type);
}

}  // namespace orlo
