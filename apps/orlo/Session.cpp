#include "Session.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "Messages.h"
#include "protocol/Protocol.h"
#include "protocol/ReadBack.h"

namespace orlo::cli {

namespace {

constexpr uint32_t kWmLButtonUp = 0x0202;  // the queued mouse message of a click

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Seconds(std::chrono::milliseconds ms) {
    const auto whole = ms.count() / 1000;
    const auto tenths = (ms.count() % 1000) / 100;
    return std::to_string(whole) + (tenths ? "." + std::to_string(tenths) : "") + " s";
}

// A device line as one line of text: the line end goes, and so does anything that would move
// the terminal's cursor or change its state.
std::string PrintableLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) c = '?';
    }
    return text;
}

}  // namespace

Session::Session(EventLoop& loop, PortEndpoint endpoint, Reporter& reporter,
                 std::function<Clock::time_point()> now)
    : m_loop(loop),
      m_endpoint(std::move(endpoint)),
      m_reporter(reporter),
      m_port(reporter.AddPort(m_endpoint.label)),
      m_now(now ? std::move(now) : [] { return Clock::now(); }),
      m_window(loop, this) {
    OrloEnvironment env;
    env.window = &m_window;
    env.serial = m_endpoint.backend.get();
    env.ports = m_endpoint.table.get();
    m_dlg = std::make_unique<COrloDlg>(env);
    m_dlg->OnInitDialog();
}

Session::~Session() {
    // The window goes first: a reader still delivering bytes then returns at once, and the
    // dialog's port can be closed and its reader ended without waiting on the window.
    m_window.Destroy();
    m_dlg.reset();
}

void Session::Click(int id, int notification) {
    InputMessage click;
    click.message = kWmLButtonUp;
    click.focusId = id;
    if (m_dlg->PreTranslateMessage(click)) return;
    m_window.Click(id, notification);
}

void Session::StartClick(int id) {
    m_inStartClick = true;
    m_running = true;
    Click(id);
    m_inStartClick = false;
}

bool Session::OpenPort() {
    Click(IDC_COMBO_PORT, CBN_DROPDOWN);
    if (m_finished) return false;  // "The port is not ready. Try again!"

    const auto& items = m_window.Control(IDC_COMBO_PORT).items;
    // Entry 0 is the placeholder; a port is chosen by the exact name the list shows.
    const auto it =
        std::find(items.begin() + (items.empty() ? 0 : 1), items.end(), m_endpoint.comName);
    if (it == items.end()) {
        const std::string detail = m_endpoint.comName + " is not in the port list";
        m_reporter.Error(m_port, detail);
        Finish(ExitCode::PortFailure, {}, detail);
        return false;
    }
    m_window.ComboSetCurSel(IDC_COMBO_PORT, static_cast<int>(it - items.begin()));
    Click(IDC_COMBO_PORT, CBN_SELCHANGE);
    Click(IDC_OPEN);
    if (m_dlg->m_comm.m_bConnected.load()) return true;

    // "Can not use COM port!" has been shown; add what the system said and what to do.
    const std::string why = m_dlg->m_comm.LastOpenResult().message;
    if (!why.empty()) m_reporter.Error(m_port, why);
    if (!m_finished) Finish(ExitCode::PortFailure, {}, why);
    m_outcome.detail = why;
    return false;
}

void Session::Start(const CommandSpec& command) {
    m_command = command;
    m_started = true;
    m_runStart = m_lastReply = m_now();
    if (!OpenPort()) return;
    m_reporter.Opened(m_port, m_endpoint.comName, m_endpoint.path);
    m_runStart = m_lastReply = m_now();

    switch (m_command.kind) {
        case CommandKind::Program: {
            const FlashRegion& region = Region(m_command.region);
            m_expectedCompletion = std::string(ProgramCompletedText(m_command.region));
            m_window.QueueFileAnswer(m_command.path);
            StartClick(region.programButton);
            break;
        }
        case CommandKind::Read: {
            const ReadBackRow& row = ReadBackRowFor(m_command.region);
            m_expectedCompletion = std::string(ReadCompletedText(m_command.region));
            m_outcome.expectedBytes = Region(m_command.region).maxSize;
            m_window.QueueFileAnswer(m_command.path);
            StartClick(row.button);
            break;
        }
        case CommandKind::Check:
            StartClick(IDC_CHECK_APPLICATION);
            break;
        case CommandKind::Sweep:
            StartClick(m_command.button);
            break;
        case CommandKind::Log:
            if (!m_command.path.empty()) {
                m_window.QueueFileAnswer(m_command.path);
                StartClick(IDC_SAVE_AS);
            }
            break;
        case CommandKind::TestTx:
            // The device owes no answer; closing the port lets the string leave first.
            StartClick(IDC_TEST_TX);
            if (!m_finished) Finish(ExitCode::Completed, {});
            break;
    }
}

bool Session::AwaitingReply() const {
    switch (m_command.kind) {
        case CommandKind::Log:
        case CommandKind::TestTx:
            return false;  // the device owes nothing
        case CommandKind::Program:
            // After the application's finish frame the port is closed by design while the
            // countdown runs; the device owes no answer then.
            if (m_dlg->m_countdown > 0 && !m_dlg->m_comm.m_bConnected.load()) return false;
            return true;
        default:
            return true;
    }
}

void Session::Poll() {
    if (!m_started || m_finished) return;
    const auto now = m_now();
    if (m_command.kind == CommandKind::Log && m_command.duration.count() > 0 &&
        now - m_runStart >= m_command.duration) {
        Finish(ExitCode::Completed, {});
        return;
    }
    if (m_command.timeout.count() > 0 && AwaitingReply() &&
        now - m_lastReply >= m_command.timeout) {
        const std::string detail =
            "timeout: the device has not answered for " + Seconds(m_command.timeout);
        m_reporter.Error(m_port, detail);
        Finish(ExitCode::Timeout, {}, detail);
    }
}

void Session::Interrupt() {
    if (m_finished) return;
    m_reporter.Error(m_port, "interrupted");
    Finish(ExitCode::Interrupted, {}, "interrupted");
}

void Session::Finish(ExitCode code, const std::string& message, const std::string& detail) {
    if (m_finished) return;
    m_finished = true;
    m_outcome.code = code;
    m_outcome.message = message;
    m_outcome.detail = detail;
    // A log file that failed on the way still fails a run that otherwise went well.
    if (!m_logFileFailure.empty() && code == ExitCode::Completed) {
        m_outcome.code = ExitCode::FileProblem;
        m_outcome.message = m_logFileFailure;
    }
}

void Session::Close() {
    if (m_closed || !m_finished) return;
    m_closed = true;
    if (m_dlg->m_comm.m_bConnected.load() && m_window.IsControlEnabled(IDC_CLOSE)) Click(IDC_CLOSE);
    if (m_command.kind == CommandKind::Read && m_started) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(m_command.path, ec);
        if (!ec && m_dlg->m_readBackPath == m_command.path) {
            m_outcome.file = m_command.path;
            m_outcome.fileBytes = size;
            m_outcome.partial = m_outcome.code != ExitCode::Completed;
        }
    }
    m_reporter.Result(m_port, m_outcome);
}

void Session::OnMessageBox(const std::string& text, const std::string&, unsigned) {
    const BoxVerdict verdict = ClassifyBox(text, m_expectedCompletion, m_inStartClick);
    m_reporter.Box(m_port, text, verdict.kind);
    // Like tee: a log file that cannot take the lines is reported once, the lines go on to
    // standard output until the run ends, and the exit status then says the file failed.
    if (m_command.kind == CommandKind::Log && !m_inStartClick && verdict.kind == BoxKind::Failure &&
        verdict.code == ExitCode::FileProblem) {
        if (m_logFileFailure.empty()) m_logFileFailure = text;
        return;
    }
    if (verdict.kind == BoxKind::Completion) Finish(ExitCode::Completed, text);
    if (verdict.kind == BoxKind::Failure) Finish(verdict.code, text);
}

void Session::OnStatusText(const std::string&) {
    ReportProgress();
}

void Session::OnProgressPos(int) {
    ++m_framesInMessage;  // the bar is set once after every complete frame
    ReportProgress();
}

void Session::OnLogEntry(const std::string& text) {
    m_reporter.DeviceLine(m_port, PrintableLine(text), m_command.kind == CommandKind::Log);
}

void Session::OnBeforeMessage(uint32_t message) {
    if (message == WM_COMM_RX) m_framesInMessage = 0;
}

void Session::OnAfterMessage(uint32_t message) {
    if (message != WM_COMM_RX) return;
    m_lastReply = m_now();
    if (m_finished) return;
    if (m_command.kind == CommandKind::Check && !m_dlg->m_checkText.empty()) {
        m_reporter.CheckText(m_port, m_dlg->m_checkText);
        Finish(ExitCode::Completed, {});
        return;
    }
    if (m_command.kind == CommandKind::Sweep) {
        const bool setFrameLast = m_dlg->m_txFrame[3] == CMD_SWEEP_SET;
        // The set frame is answered when a later frame arrives and nothing is being resent.
        if (m_sweepSetSent && setFrameLast && m_framesInMessage > 0 && m_dlg->m_retryCount == 0) {
            m_reporter.Sweep(m_port, m_dlg->m_sweepMax, m_dlg->m_sweepMin, m_dlg->m_sweepTime,
                             m_dlg->m_tm);
            Finish(ExitCode::Completed, {});
            return;
        }
        m_sweepSetSent = setFrameLast;
    }
}

void Session::ReportProgress() {
    if (!m_running || m_finished) return;  // the outcome's message closes the progress
    ProgressSnapshot s;
    s.label = m_endpoint.label;
    s.status = m_window.GetControlText(IDC_STATUS);
    const bool program = m_command.kind == CommandKind::Program;
    const bool read = m_command.kind == CommandKind::Read;
    if (!program && !read) return;  // the other commands have no progress to show
    const FlashRegion& region = Region(m_command.region);
    s.region = Lower(region.name);
    const uint8_t cmd = m_dlg->m_txFrame[3];
    const uint8_t op = cmd & 0x0F;
    const bool sameFamily = (cmd & 0xF0) == region.family;
    const uint64_t size = m_dlg->m_imageSize;
    const uint64_t done = std::min<uint64_t>(m_dlg->m_imageOffset, size);
    if (sameFamily && size > 0 &&
        ((program && (op == CMD_WRITE || op == CMD_VERIFY)) || (read && op == CMD_READ))) {
        s.hasData = true;
        s.phase = op == CMD_WRITE ? "Programming" : (op == CMD_VERIFY ? "Verifying" : "Reading");
        s.percent = m_dlg->m_progress;
        s.phaseDone = done;
        s.phaseTotal = size;
        s.overallTotal = program ? 2 * size : size;
        s.overallDone = program && op == CMD_VERIFY ? size + done : done;
        // A write or verify block counts from the moment it is sent; a read block only once
        // its data has arrived.
        if (program && done > 0) s.inFlight = std::min<uint64_t>(BLOCK_SIZE, done);
        s.elapsedSeconds = std::chrono::duration<double>(m_now() - m_runStart).count();
        m_sawBlockPhase = true;
    } else if (!m_sawBlockPhase && s.status.starts_with("Ready")) {
        return;  // the window's idle text, before the first block
    } else if (s.status.starts_with("Programming ") || s.status.starts_with("Verifying ") ||
               s.status.starts_with("Reading ")) {
        // The run has left its block phase; the line still shows the phase's last percentage
        // until the next refresh brings the new status.
        return;
    }
    m_reporter.Progress(m_port, s);
}

}  // namespace orlo::cli
