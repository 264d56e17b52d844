#include "Session.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <system_error>

#include "Messages.h"
#include "WireWatch.h"
#include "protocol/Protocol.h"
#include "protocol/ReadBack.h"

namespace orlo::cli {

namespace {

constexpr uint32_t kWmLButtonUp = 0x0202;  // the queued mouse message of a click
// A reply that an earlier run left on the line shifts every answer by one, and the answer still
// owed to the last frame then comes about one reply time after the run seemed complete: the
// line time of that frame and of a reply, plus the device's own time to answer. The grace is
// those line times plus three times the slowest the device took to answer in this run.
constexpr int kGraceReplies = 3;
constexpr auto kGraceCapWithoutTimeout = std::chrono::seconds(10);

constexpr const char* kNotConfirmed =
    "not confirmed: the device sent a further reply after the run had ended, so a reply of an "
    "earlier run may have been taken for one of this run; run the command again";
constexpr const char* kDeviceGone =
    "the device has gone away: the line was hung up or the port has vanished";
constexpr auto kWaitHint = std::chrono::seconds(2);  // silence after which the wait is named

// How long COUNT bytes take on the device line (8N1: ten bits a byte).
Session::Clock::duration LineTime(int32_t count) {
    const auto micros = static_cast<int64_t>(std::max<int32_t>(count, 0)) * 10 * 1000000 / LINE_BAUD;
    return std::chrono::duration_cast<Session::Clock::duration>(std::chrono::microseconds(micros));
}

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

std::string TooBigContext(uint64_t size, uint64_t limit) {
    return "file " + std::to_string(size) + " bytes, region limit " + std::to_string(limit) +
           " bytes";
}

Session::Session(EventLoop& loop, PortEndpoint endpoint, Reporter& reporter,
                 std::function<Clock::time_point()> now)
    : m_loop(loop),
      m_endpoint(std::move(endpoint)),
      m_reporter(reporter),
      m_port(reporter.AddPort(m_endpoint.label, m_endpoint.comName)),
      m_now(now ? std::move(now) : [] { return Clock::now(); }),
      m_window(loop, this) {
    OrloEnvironment env;
    env.window = &m_window;
    env.serial = m_endpoint.backend.get();
    env.ports = m_endpoint.table.get();
    env.keepPortAfterFinish = true;  // closed here once no further reply has come
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
#ifndef _WIN32
    std::error_code ec;
    m_nodeSeen = !m_endpoint.path.empty() && std::filesystem::exists(m_endpoint.path, ec);
#endif
    const bool sendsFrames = m_command.kind != CommandKind::Log &&
                             m_command.kind != CommandKind::TestTx;
    if (sendsFrames && m_command.settle.count() > 0) {
        // Poll starts the command once nothing has arrived for the settle time.
        m_settling = true;
        m_settleStart = m_lastRxAt = m_now();
        return;
    }
    BeginCommand();
}

void Session::BeginCommand() {
    m_runStart = m_lastReply = m_lastSendAt = m_now();
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
    if (m_dlg) m_lastSentLen = m_dlg->m_txLen;
}

bool Session::AwaitingReply() const {
    if (m_confirming) return false;  // the grace has its own end
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

Session::Clock::duration Session::TimeToNextPoll() const {
    const auto now = m_now();
    Clock::time_point due = Clock::time_point::max();
    if (m_settling)
        due = std::min(m_lastRxAt + m_command.settle, m_settleStart + m_command.settleLimit);
    else if (m_confirming)
        due = m_confirmUntil;
    if (due == Clock::time_point::max()) return Clock::duration::max();
    return due > now ? due - now : Clock::duration::zero();
}

Session::Clock::duration Session::Grace() const {
    const Clock::duration floor = m_command.grace;
    const Clock::duration cap = m_command.timeout.count() > 0
                                    ? Clock::duration(m_command.timeout)
                                    : Clock::duration(kGraceCapWithoutTimeout);
    const Clock::duration owed =
        LineTime(m_lastSentLen) + LineTime(m_longestReply) + kGraceReplies * m_slowestReply;
    return std::max(floor, std::min(cap, owed));
}

void Session::Poll() {
    if (!m_started || m_finished) return;
    const auto now = m_now();
    if (m_settling) {
        if (now - m_lastRxAt >= m_command.settle || now - m_settleStart >= m_command.settleLimit) {
            m_settling = false;
            BeginCommand();
        }
        return;
    }
    if (m_confirming && now >= m_confirmUntil) {
        Confirmed();
        return;
    }
    // The log's lines have nowhere to go: it ends (the exit status says why, see Conclude).
    if (m_command.kind == CommandKind::Log && m_reporter.OutputBroken()) {
        Finish(ExitCode::Completed, {});
        return;
    }
    if (m_command.kind == CommandKind::Log && m_command.duration.count() > 0 &&
        now - m_runStart >= m_command.duration) {
        Finish(ExitCode::Completed, {});
        return;
    }
    if (m_command.kind == CommandKind::Log && LineGone()) {
        m_reporter.Error(m_port, kDeviceGone);
        Finish(ExitCode::Timeout, {}, kDeviceGone);
        return;
    }
    if (!AwaitingReply()) return;
    if (!m_waitNamed && now - m_lastReply >= kWaitHint) {
        m_waitNamed = true;
        m_reporter.Waiting(m_port, "waiting for the device on " + m_endpoint.comName +
                                       " to answer " + LastFrame() + "...");
    }
    if (m_command.timeout.count() > 0 && now - m_lastReply >= m_command.timeout) {
        const std::string detail = "timeout: the device has not answered for " +
                                   Seconds(m_command.timeout) + " (" + LastFrame() + ")";
        m_reporter.Error(m_port, detail,
                         "check the device's power and cable, that " + m_endpoint.comName +
                             " is its port, and that it is ready to be programmed");
        Finish(ExitCode::Timeout, {}, detail);
        AddFrameContext(m_dlg->m_retryCount + 1);
    }
}

std::string Session::LastFrame() const {
    const auto& f = m_dlg->m_txFrame;
    return DescribeFrame(f[3], FrameAddress(f.data(), static_cast<std::size_t>(m_dlg->m_txLen)));
}

void Session::AddFrameContext(unsigned sends) {
    const auto& f = m_dlg->m_txFrame;
    m_outcome.phase = WirePhase(f[3]);
    m_outcome.address = FrameAddress(f.data(), static_cast<std::size_t>(m_dlg->m_txLen));
    m_outcome.sends = sends;
}

void Session::Interrupt() {
    if (m_finished) return;
    // The application's countdown runs after the last block was verified and the finish
    // frame went out: nothing is lost by not waiting for it.
    if (m_command.kind == CommandKind::Program && m_dlg->m_txFrame[3] == CMD_FINISH &&
        m_dlg->m_countdown > 0) {
        const std::string sentence =
            "the image is written and verified; the device restarts by itself";
        m_reporter.Note(m_port, sentence);
        Finish(ExitCode::Completed, {}, sentence);
        return;
    }
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
    // A read-back that did not complete leaves the chosen file as it was; the outcome below
    // names the partial file instead of the dialog's box.
    if (m_command.kind == CommandKind::Read) m_dlg->AbandonReadBack();
    if (m_dlg->m_comm.m_bConnected.load() && m_window.IsControlEnabled(IDC_CLOSE)) Click(IDC_CLOSE);
    if (m_command.kind == CommandKind::Read && m_started && !m_dlg->m_readBackPath.empty()) {
        // The file that holds the blocks: the chosen one when the run completed, otherwise
        // the partial file beside it.
        std::error_code ec;
        const auto size = std::filesystem::file_size(m_dlg->m_readBackPath, ec);
        if (!ec) {
            m_outcome.file =
                m_command.shownPath.empty() ? m_dlg->m_readBackPath : m_command.shownPath;
            m_outcome.fileBytes = size;
            m_outcome.partial = m_outcome.code != ExitCode::Completed;
        }
    }
    m_reporter.Result(m_port, m_outcome);
}

bool Session::LineGone() const {
    if (m_dlg->m_comm.LineLost()) return true;
#ifndef _WIN32
    // A device node that has vanished (the adapter pulled, the simulator ended).
    std::error_code ec;
    if (m_nodeSeen && !std::filesystem::exists(m_endpoint.path, ec) && !ec) return true;
#endif
    return false;
}

void Session::BeginConfirm(int repliesAllowed) {
    m_confirming = true;
    m_repliesAllowed = repliesAllowed;
    m_confirmUntil = m_now() + Grace();
}

void Session::Confirmed() {
    m_confirming = false;
    m_confirmedOnce = true;
    switch (m_command.kind) {
        case CommandKind::Check:
            m_reporter.CheckText(m_port, m_dlg->m_checkText);
            Finish(ExitCode::Completed, {});
            return;
        case CommandKind::Sweep:
            m_reporter.Sweep(m_port, m_dlg->m_sweepMax, m_dlg->m_sweepMin, m_dlg->m_sweepTime,
                             m_dlg->m_tm);
            Finish(ExitCode::Completed, {});
            return;
        default:
            break;
    }
    // The application's port stayed open after the finish frame for the grace: close it now,
    // as the window does at once; the countdown's message completes the run.
    if (m_dlg->m_comm.m_bConnected.load() && m_window.IsControlEnabled(IDC_CLOSE)) Click(IDC_CLOSE);
    if (!m_heldCompletion.empty()) {
        m_reporter.Box(m_port, m_heldCompletion, BoxKind::Completion);
        Finish(ExitCode::Completed, m_heldCompletion);
    }
}

void Session::NotConfirmed(const std::string& why) {
    m_confirming = false;
    m_reporter.Error(m_port, why);
    Finish(ExitCode::DeviceFailure, {}, why);
}

// One reply (any frame but the log start) has been handled by the dialog.
void Session::OnReply(uint8_t code) {
    if (m_finished) return;
    if (m_completionPending) {  // the reply that brought the completion message
        m_completionPending = false;
        BeginConfirm(0);
        return;
    }
    if (m_confirming) {
        if (m_repliesAllowed > 0 && code == RSP_ACK) {
            --m_repliesAllowed;  // the answer to the application's finish frame
            return;
        }
        NotConfirmed(kNotConfirmed);
        return;
    }
    const uint8_t sent = m_dlg->m_txFrame[3];
    switch (m_command.kind) {
        case CommandKind::Program:
            // The last verify's ACK has sent the finish frame; its own ACK may still come.
            if (code == RSP_ACK && sent == CMD_FINISH) BeginConfirm(1);
            break;
        case CommandKind::Check:
            if (code == CMD_CHECK && sent == CMD_CHECK && !m_dlg->m_checkText.empty())
                BeginConfirm(0);
            break;
        case CommandKind::Sweep:
            // Only the device's answer to the set frame completes it, never another frame
            // (a log start, a report) that happens to come after it.
            if (code == RSP_ACK && sent == CMD_SWEEP_SET) BeginConfirm(0);
            break;
        default:
            break;
    }
}

void Session::OnMessageBox(const std::string& text, const std::string&, unsigned) {
    const BoxVerdict verdict = ClassifyBox(text, m_expectedCompletion, m_inStartClick);
    if (verdict.kind == BoxKind::Completion && !m_finished) {
        // The last step (100 %) is shown before the outcome closes the progress.
        if (m_command.kind == CommandKind::Read || m_command.kind == CommandKind::Program)
            ReportProgress();
        // Reported once no further reply has come. The application's message ends its
        // countdown, after the finish frame's grace began; the others come with a reply.
        m_heldCompletion = text;
        if (m_confirmedOnce) {
            m_reporter.Box(m_port, text, verdict.kind);
            Finish(ExitCode::Completed, text);
        } else if (!m_confirming) {
            m_completionPending = true;
        }
        return;
    }
    // The device's refusals and the too-big texts stay as the window shows them; what the
    // command line knows about them follows.
    std::string context;
    if (text == "Tx Error" || text == "Check Flash Memory please.....") {
        const bool start = WirePhase(m_dlg->m_txFrame[3]) == "start";
        const unsigned sends = start ? 1 : std::max(1u, m_dlg->m_retryCount);
        context = LastFrame().substr(std::string_view("the ").size()) + ", sent " +
                  (sends == 1 ? std::string("once") : std::to_string(sends) + " times");
        AddFrameContext(sends);
    } else if (m_command.kind == CommandKind::Program && text == Region(m_command.region).tooBig) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(m_command.path, ec);
        m_outcome.limit = Region(m_command.region).maxSize;
        if (!ec) m_outcome.fileSize = size;
        context = TooBigContext(ec ? 0 : size, Region(m_command.region).maxSize);
    }
    m_reporter.Box(m_port, text, verdict.kind, context);
    if (text == "Tx Error" && m_dlg->m_replyDamaged && !m_finished) {
        // The device answered, but its reply stayed damaged: not a refusal of the frames.
        const std::string detail =
            "the device's reply stayed damaged: its CRC or address did not match five times in "
            "a row";
        m_reporter.Error(m_port, detail);
        Finish(ExitCode::DeviceFailure, text, detail);
        return;
    }
    // Like tee: a log file that cannot take the lines is reported once, the lines go on to
    // standard output until the run ends, and the exit status then says the file failed.
    if (m_command.kind == CommandKind::Log && !m_inStartClick && verdict.kind == BoxKind::Failure &&
        verdict.code == ExitCode::FileProblem) {
        if (m_logFileFailure.empty()) m_logFileFailure = text;
        return;
    }
    if (verdict.kind == BoxKind::Failure) Finish(verdict.code, text, context);
}

void Session::OnStatusText(const std::string&) {
    ReportProgress();
}

void Session::OnProgressPos(int) {
    // The bar is set once after every complete frame, while its code is still in place.
    if (m_inRx) {
        const uint8_t code = m_dlg->m_rxCode;
        if (code != RSP_LOG_START) {
            if (++m_repliesInMessage == 1) {
                // The timeout counts from the last reply; a reply's time runs from the one
                // before, which sent the frame it answers.
                const auto now = m_now();
                // The device's own time: what the exchange took beyond the line time of the
                // frame it answers and of the reply itself (nothing, on an unpaced line).
                const int32_t replyLen = m_dlg->m_rxLen;
                const Clock::duration deviceTime =
                    now - m_lastSendAt - LineTime(m_lastSentLen) - LineTime(replyLen);
                m_lastReply = now;
                m_waitNamed = false;
                m_slowestReply = std::max(m_slowestReply, deviceTime);
                m_longestReply = std::max(m_longestReply, replyLen);
                m_lastSendAt = now;
                m_lastSentLen = m_dlg->m_txLen;  // the frame this reply made the dialog send
            }
            OnReply(code);
        }
    }
    ReportProgress();
}

void Session::OnLogEntry(const std::string& text) {
    m_reporter.DeviceLine(m_port, PrintableLine(text), m_command.kind == CommandKind::Log);
}

bool Session::SwallowMessage(uint32_t message) {
    if (message != WM_COMM_RX || !m_settling) return false;
    // Settling: what arrives is left over from before this run; it is dropped unread and the
    // quiet time starts again. The reader waits in this notification, so the ring is ours.
    m_lastRxAt = m_now();
    m_dlg->m_comm.m_rxHead = m_dlg->m_comm.m_rxTail;
    return true;
}

void Session::OnBeforeMessage(uint32_t message) {
    if (message != WM_COMM_RX) return;
    m_inRx = true;
    m_repliesInMessage = 0;
}

void Session::OnAfterMessage(uint32_t message) {
    if (message != WM_COMM_RX) return;
    m_inRx = false;
}

void Session::ReportProgress() {
    if (!m_running || m_finished) return;  // the outcome's message closes the progress
    ProgressSnapshot s;
    s.label = m_endpoint.label;
    // The member, not the control: the control is refreshed only at the end of a drain, and
    // would pair the last phase's text with this block's percentage.
    s.status = m_dlg->m_status;
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
