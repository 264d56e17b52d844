#include "run/Run.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "app/OutputFile.h"
#include "protocol/Protocol.h"
#include "protocol/ReadBack.h"
#include "run/WireWatch.h"

namespace orlo::run {

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

// How long COUNT bytes take on the device line (8N1: ten bits a byte).
Run::Clock::duration LineTime(int32_t count) {
    const auto micros = static_cast<int64_t>(std::max<int32_t>(count, 0)) * 10 * 1000000 / LINE_BAUD;
    return std::chrono::duration_cast<Run::Clock::duration>(std::chrono::microseconds(micros));
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

const char* StateName(RunState state) {
    switch (state) {
        case RunState::Idle:
            return "idle";
        case RunState::Settling:
            return "settling";
        case RunState::Running:
            return "running";
        case RunState::Confirming:
            return "confirming";
        case RunState::Ended:
            return "ended";
        case RunState::Closed:
            return "closed";
    }
    return "unknown";
}

std::string TooBigContext(uint64_t size, uint64_t limit) {
    return "file " + std::to_string(size) + " bytes, region limit " + std::to_string(limit) +
           " bytes";
}

Run::Run(RunSetup setup, RunPolicy policy)
    : m_setup(std::move(setup)), m_policy(policy), m_window(*m_setup.window, *this) {
    if (!m_setup.now) m_setup.now = [] { return Clock::now(); };
    OrloEnvironment env;
    env.window = &m_window;
    env.serial = m_setup.serial;
    env.ports = m_setup.ports;
    env.now = m_setup.wallClock;
    env.keepPortAfterFinish = true;  // closed here once no further reply has come
    m_dlg = std::make_unique<COrloDlg>(env);
    m_dlg->OnInitDialog();
}

Run::~Run() {
    // The window goes first: a reader still delivering bytes then returns at once, and the
    // dialog's port can be closed and its reader ended without waiting on the window.
    m_window.Destroy();
    m_dlg.reset();
}

void Run::AddObserver(RunObserver* observer) {
    if (observer) m_observers.push_back(observer);
}

void Run::SetState(RunState state) {
    if (m_state == state) return;
    m_state = state;
    Notify([state](RunObserver& o) { o.OnState(state); });
}

void Run::Click(int id, int notification) {
    InputMessage click;
    click.message = kWmLButtonUp;
    click.focusId = id;
    if (m_dlg->PreTranslateMessage(click)) return;
    m_window.Click(id, notification);
}

void Run::StartClick(int id) {
    m_inStartClick = true;
    m_clicked = true;
    Click(id);
    m_inStartClick = false;
}

bool Run::OpenPort() {
    Click(IDC_COMBO_PORT, CBN_DROPDOWN);
    if (Finished()) return false;  // "The port is not ready. Try again!"

    // Entry 0 is the placeholder; a port is chosen by the exact name the list shows.
    int chosen = -1;
    const int count = m_window.ComboGetCount(IDC_COMBO_PORT);
    for (int i = count > 0 ? 1 : 0; i < count && chosen < 0; ++i) {
        std::string item;
        if (m_window.ComboGetLBText(IDC_COMBO_PORT, i, &item) &&
            item == (m_setup.listName.empty() ? m_setup.comName : m_setup.listName))
            chosen = i;
    }
    if (chosen < 0) {
        const std::string detail = ShownName() + " is not in the port list";
        Notify([&](RunObserver& o) { o.OnError(detail, {}); });
        Finish(ExitCode::PortFailure, {}, detail);
        return false;
    }
    m_window.ComboSetCurSel(IDC_COMBO_PORT, chosen);
    Click(IDC_COMBO_PORT, CBN_SELCHANGE);
    Click(IDC_OPEN);
    if (m_dlg->m_comm.m_bConnected.load()) return true;

    // "Can not use COM port!" has been shown; add what the system said and what to do.
    const std::string why = m_dlg->m_comm.LastOpenResult().message;
    if (!why.empty()) Notify([&](RunObserver& o) { o.OnError(why, {}); });
    if (!Finished()) Finish(ExitCode::PortFailure, {}, why);
    m_outcome.detail = why;
    return false;
}

void Run::Start(std::vector<RunStep> steps) {
    m_steps = std::move(steps);
    m_stepIndex = 0;
    m_stepStart = m_lastReply = m_runStart = m_setup.now();
    // The bytes each programming step puts on the wire (every block written and verified), so
    // the progress and its time left cover the whole run, not only the step under way.
    m_stepBytes.clear();
    for (const RunStep& step : m_steps) {
        std::error_code ec;
        const auto size = step.kind == StepKind::Program
                              ? std::filesystem::file_size(Utf8Path(step.path), ec)
                              : 0;
        m_stepBytes.push_back(ec ? 0 : 2 * static_cast<uint64_t>(size));
    }
    if (m_steps.empty()) {
        Finish(ExitCode::Usage, {}, "nothing to do");
        return;
    }
    for (std::size_t i = 0; i + 1 < m_steps.size(); ++i) {
        if (m_steps[i].kind == StepKind::Program && m_steps[i].region == RegionId::Application) {
            Finish(ExitCode::Usage, {},
                   "the application is programmed last: the device restarts after it");
            return;
        }
    }
    if (!OpenPort()) return;
    Notify([&](RunObserver& o) { o.OnOpened(ShownName(), m_setup.path); });
#ifndef _WIN32
    std::error_code ec;
    m_nodeSeen = !m_setup.path.empty() && std::filesystem::exists(m_setup.path, ec);
#endif
    const bool sendsFrames = Step().kind != StepKind::Log && Step().kind != StepKind::TestTx;
    if (sendsFrames && m_policy.settle.count() > 0) {
        // Poll starts the step once nothing has arrived for the settle time.
        SetState(RunState::Settling);
        m_settleStart = m_lastRxAt = m_setup.now();
        return;
    }
    BeginStep();
}

void Run::BeginStep() {
    // After the settle the timeout keeps counting from the open: --timeout bounds the whole
    // wait, the wait for a quiet line included.
    const bool settled = m_state == RunState::Settling;
    SetState(RunState::Running);
    m_stepStart = m_lastSendAt = m_setup.now();
    if (!settled) m_lastReply = m_stepStart;
    m_expectedCompletion.clear();
    m_clicked = false;
    m_sawBlockPhase = false;
    m_completionPending = false;
    m_confirmedOnce = false;
    m_repliesAllowed = 0;
    m_heldCompletion.clear();
    m_waitNamed = false;
    m_outcome = Outcome{};
    const RunStep& step = Step();
    Notify([&](RunObserver& o) { o.OnStep(m_stepIndex, step); });
    switch (step.kind) {
        case StepKind::Program: {
            const FlashRegion& region = Region(step.region);
            m_expectedCompletion = std::string(ProgramCompletedText(step.region));
            m_window.QueueFileAnswer(step.path);
            StartClick(region.programButton);
            break;
        }
        case StepKind::Read: {
            const ReadBackRow& row = ReadBackRowFor(step.region);
            m_expectedCompletion = std::string(ReadCompletedText(step.region));
            m_dlg->m_readBackLength = step.length;
            m_outcome.expectedBytes = step.length ? step.length : Region(step.region).maxSize;
            m_window.QueueFileAnswer(step.path);
            StartClick(row.button);
            break;
        }
        case StepKind::Check:
            StartClick(IDC_CHECK_APPLICATION);
            break;
        case StepKind::Sweep:
            StartClick(step.button);
            break;
        case StepKind::Log:
            if (!step.path.empty()) {
                m_window.QueueFileAnswer(step.path);
                StartClick(IDC_SAVE_AS);
            }
            break;
        case StepKind::TestTx:
            // The device owes no answer; closing the port lets the string leave first.
            StartClick(IDC_TEST_TX);
            if (!Finished()) Finish(ExitCode::Completed, {});
            break;
    }
    if (m_dlg) m_lastSentLen = m_dlg->m_txLen;
}

bool Run::AwaitingReply() const {
    if (m_state != RunState::Running) return false;  // the grace has its own end
    switch (Step().kind) {
        case StepKind::Log:
        case StepKind::TestTx:
            return false;  // the device owes nothing
        case StepKind::Program:
            // After the application's finish frame the port is closed by design while the
            // countdown runs; the device owes no answer then.
            if (m_dlg->m_countdown > 0 && !m_dlg->m_comm.m_bConnected.load()) return false;
            return true;
        default:
            return true;
    }
}

Run::Clock::duration Run::TimeToNextPoll() const {
    const auto now = m_setup.now();
    Clock::time_point due = Clock::time_point::max();
    if (m_state == RunState::Settling)
        due = std::min(m_lastRxAt + m_policy.settle, m_settleStart + m_policy.settleLimit);
    else if (m_state == RunState::Confirming)
        due = m_confirmUntil;
    if (due == Clock::time_point::max()) return Clock::duration::max();
    return due > now ? due - now : Clock::duration::zero();
}

Run::Clock::duration Run::Grace() const {
    const Clock::duration floor = m_policy.grace;
    const Clock::duration cap = m_policy.timeout.count() > 0
                                    ? Clock::duration(m_policy.timeout)
                                    : Clock::duration(kGraceCapWithoutTimeout);
    const Clock::duration owed =
        LineTime(m_lastSentLen) + LineTime(m_longestReply) + kGraceReplies * m_slowestReply;
    return std::max(floor, std::min(cap, owed));
}

void Run::TakeThreadBoxes() {
    for (const std::string& text : m_window.TakeThreadBoxes()) OnMessageBox(text);
}

void Run::Poll() {
    if (m_state == RunState::Idle || Finished()) return;
    TakeThreadBoxes();
    if (Finished()) return;
    const auto now = m_setup.now();
    if (m_state == RunState::Settling) {
        if (now - m_lastRxAt >= m_policy.settle || now - m_settleStart >= m_policy.settleLimit)
            BeginStep();
        return;
    }
    if (m_state == RunState::Confirming && now >= m_confirmUntil) {
        Confirmed();
        return;
    }
    const StepKind kind = Step().kind;
    if (kind == StepKind::Log && Step().duration.count() > 0 &&
        now - m_stepStart >= Step().duration) {
        Finish(ExitCode::Completed, {});
        return;
    }
    if (kind == StepKind::Log && LineGone()) {
        Notify([](RunObserver& o) { o.OnError(kDeviceGone, {}); });
        Finish(ExitCode::Timeout, {}, kDeviceGone);
        return;
    }
    // The log's own timeout: nothing at all, no frame and no line, for that long.
    if (kind == StepKind::Log && m_policy.timeout.count() > 0 &&
        now - m_lastReply >= m_policy.timeout) {
        const std::string detail =
            "timeout: the device has sent no line or frame for " + Seconds(m_policy.timeout);
        const std::string hint = "check the device's power and cable, and that " + ShownName() +
                                 " is its port";
        Notify([&](RunObserver& o) { o.OnError(detail, hint); });
        Finish(ExitCode::Timeout, {}, detail);
        return;
    }
    if (!AwaitingReply()) return;
    if (!m_waitNamed && now - m_lastReply >= m_policy.waitHint) {
        m_waitNamed = true;
        const std::string hint =
            "waiting for the device on " + ShownName() + " to answer " + LastFrame() + "...";
        Notify([&](RunObserver& o) { o.OnWaiting(hint); });
    }
    if (m_policy.timeout.count() > 0 && now - m_lastReply >= m_policy.timeout) {
        const std::string detail = "timeout: the device has not answered for " +
                                   Seconds(m_policy.timeout) + " (" + LastFrame() + ")";
        const std::string hint = "check the device's power and cable, that " + ShownName() +
                                 " is its port, and that it is ready to be programmed";
        Notify([&](RunObserver& o) { o.OnError(detail, hint); });
        Finish(ExitCode::Timeout, {}, detail);
        AddFrameContext(m_dlg->m_retryCount + 1);
    }
}

std::string Run::LastFrame() const {
    const auto& f = m_dlg->m_txFrame;
    return DescribeFrame(f[3], FrameAddress(f.data(), static_cast<std::size_t>(m_dlg->m_txLen)));
}

void Run::AddFrameContext(unsigned sends) {
    const auto& f = m_dlg->m_txFrame;
    m_outcome.phase = WirePhase(f[3]);
    m_outcome.address = FrameAddress(f.data(), static_cast<std::size_t>(m_dlg->m_txLen));
    m_outcome.sends = sends;
}

void Run::Interrupt() {
    if (Finished()) return;
    // The application's countdown runs after the last block was verified and the finish
    // frame went out: nothing is lost by not waiting for it.
    if (m_state != RunState::Idle && Step().kind == StepKind::Program &&
        m_dlg->m_txFrame[3] == CMD_FINISH && m_dlg->m_countdown > 0) {
        const std::string sentence =
            "the image is written and verified; the device restarts by itself";
        Notify([&](RunObserver& o) { o.OnNote(sentence); });
        Finish(ExitCode::Completed, {}, sentence);
        return;
    }
    Notify([](RunObserver& o) { o.OnError("interrupted", {}); });
    Finish(ExitCode::Interrupted, {}, "interrupted");
}

void Run::Stop(ExitCode code, const std::string& detail) {
    Finish(code, {}, detail);
}

void Run::Finish(ExitCode code, const std::string& message, const std::string& detail) {
    if (Finished()) return;
    m_outcome.code = code;
    m_outcome.message = message;
    m_outcome.detail = detail;
    // A log file that failed on the way still fails a run that otherwise went well.
    if (!m_logFileFailure.empty() && code == ExitCode::Completed) {
        m_outcome.code = ExitCode::FileProblem;
        m_outcome.message = m_logFileFailure;
    }
    if (m_outcome.code == ExitCode::Completed && m_stepIndex + 1 < m_steps.size()) {
        // The next step runs on the same connection, once the handler that completed this one
        // has returned.
        m_stepResults.push_back(m_outcome);
        ++m_stepIndex;
        SetState(RunState::Settling);
        m_settleStart = m_lastRxAt = m_setup.now();
        return;
    }
    m_stepResults.push_back(m_outcome);
    SetState(RunState::Ended);
}

void Run::Close() {
    if (m_state != RunState::Ended) return;
    const RunStep* step = m_steps.empty() ? nullptr : &Step();
    const bool read = step && step->kind == StepKind::Read;
    // A read-back that did not complete leaves the chosen file as it was; the outcome below
    // names the partial file instead of the dialog's box.
    if (read) m_dlg->AbandonReadBack();
    if (m_dlg->m_comm.m_bConnected.load() && m_window.IsControlEnabled(IDC_CLOSE)) Click(IDC_CLOSE);
    if (read && m_clicked && !m_dlg->m_readBackPath.empty()) {
        // The file that holds the blocks: the chosen one when the run completed, otherwise
        // the partial file beside it.
        std::error_code ec;
        const auto size = std::filesystem::file_size(m_dlg->m_readBackPath, ec);
        if (!ec) {
            m_outcome.file = step->shownPath.empty() ? m_dlg->m_readBackPath : step->shownPath;
            m_outcome.fileBytes = size;
            m_outcome.partial = m_outcome.code != ExitCode::Completed;
        }
    }
    if (!m_stepResults.empty()) m_stepResults.back() = m_outcome;
    SetState(RunState::Closed);
    Notify([&](RunObserver& o) { o.OnOutcome(m_outcome); });
}

bool Run::LineGone() const {
    if (m_dlg->m_comm.LineLost()) return true;
#ifndef _WIN32
    // A device node that has vanished (the adapter pulled, the simulator ended).
    std::error_code ec;
    if (m_nodeSeen && !std::filesystem::exists(m_setup.path, ec) && !ec) return true;
#endif
    return false;
}

void Run::BeginConfirm(int repliesAllowed) {
    SetState(RunState::Confirming);
    m_repliesAllowed = repliesAllowed;
    m_confirmUntil = m_setup.now() + Grace();
}

void Run::Confirmed() {
    SetState(RunState::Running);
    m_confirmedOnce = true;
    switch (Step().kind) {
        case StepKind::Check: {
            const std::string text = m_dlg->m_checkText;
            Notify([&](RunObserver& o) { o.OnCheckText(text); });
            Finish(ExitCode::Completed, {});
            return;
        }
        case StepKind::Sweep: {
            const COrloDlg& d = *m_dlg;
            Notify([&](RunObserver& o) { o.OnSweep(d.m_sweepMax, d.m_sweepMin, d.m_sweepTime, d.m_tm); });
            Finish(ExitCode::Completed, {});
            return;
        }
        default:
            break;
    }
    // The application's port stayed open after the finish frame for the grace: close it now,
    // as the window does at once; the countdown's message completes the run. After any other
    // region the port stays open, as in the window, for the next step of the run.
    const bool finishSent = Step().kind == StepKind::Program &&
                            Step().region == RegionId::Application;
    if (finishSent && m_dlg->m_comm.m_bConnected.load() && m_window.IsControlEnabled(IDC_CLOSE))
        Click(IDC_CLOSE);
    if (!m_heldCompletion.empty()) {
        const std::string text = m_heldCompletion;
        Notify([&](RunObserver& o) { o.OnBox(text, BoxKind::Completion, {}); });
        Finish(ExitCode::Completed, text);
    }
}

void Run::NotConfirmed(const std::string& why) {
    SetState(RunState::Running);
    Notify([&](RunObserver& o) { o.OnError(why, {}); });
    Finish(ExitCode::DeviceFailure, {}, why);
}

// One reply (any frame but the log start) has been handled by the dialog.
void Run::OnReply(uint8_t code) {
    if (Finished() || m_state == RunState::Settling) return;
    if (m_completionPending) {  // the reply that brought the completion message
        m_completionPending = false;
        BeginConfirm(0);
        return;
    }
    if (m_state == RunState::Confirming) {
        if (m_repliesAllowed > 0 && code == RSP_ACK) {
            --m_repliesAllowed;  // the answer to the application's finish frame
            return;
        }
        NotConfirmed(kNotConfirmed);
        return;
    }
    const uint8_t sent = m_dlg->m_txFrame[3];
    switch (Step().kind) {
        case StepKind::Program:
            // The last verify's ACK has sent the finish frame; its own ACK may still come.
            if (code == RSP_ACK && sent == CMD_FINISH) BeginConfirm(1);
            break;
        case StepKind::Check:
            if (code == CMD_CHECK && sent == CMD_CHECK && !m_dlg->m_checkText.empty())
                BeginConfirm(0);
            break;
        case StepKind::Sweep:
            // Only the device's answer to the set frame completes it, never another frame
            // (a log start, a report) that happens to come after it.
            if (code == RSP_ACK && sent == CMD_SWEEP_SET) BeginConfirm(0);
            break;
        default:
            break;
    }
}

void Run::OnMessageBox(const std::string& text) {
    if (m_state == RunState::Idle && m_steps.empty()) return;  // not a run of ours
    const BoxVerdict verdict = ClassifyBox(text, m_expectedCompletion, m_inStartClick);
    const RunStep& step = Step();
    if (verdict.kind == BoxKind::Completion && !Finished()) {
        // The last step (100 %) is shown before the outcome closes the progress.
        if (step.kind == StepKind::Read || step.kind == StepKind::Program) ReportProgress();
        // Reported once no further reply has come. The application's message ends its
        // countdown, after the finish frame's grace began; the others come with a reply.
        m_heldCompletion = text;
        if (m_confirmedOnce) {
            Notify([&](RunObserver& o) { o.OnBox(text, verdict.kind, {}); });
            Finish(ExitCode::Completed, text);
        } else if (m_state != RunState::Confirming) {
            m_completionPending = true;
        }
        return;
    }
    // The device's refusals and the too-big texts stay as the window shows them; what the
    // run knows about them follows.
    std::string context;
    if (text == "Tx Error" || text == "Check Flash Memory please.....") {
        const bool start = WirePhase(m_dlg->m_txFrame[3]) == "start";
        const unsigned sends = start ? 1 : std::max(1u, m_dlg->m_retryCount);
        context = LastFrame().substr(std::string_view("the ").size()) + ", sent " +
                  (sends == 1 ? std::string("once") : std::to_string(sends) + " times");
        AddFrameContext(sends);
    } else if (step.kind == StepKind::Program && text == Region(step.region).tooBig) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(step.path, ec);
        m_outcome.limit = Region(step.region).maxSize;
        if (!ec) m_outcome.fileSize = size;
        context = TooBigContext(ec ? 0 : size, Region(step.region).maxSize);
    }
    Notify([&](RunObserver& o) { o.OnBox(text, verdict.kind, context); });
    if (text == "Tx Error" && m_dlg->m_replyDamaged && !Finished()) {
        // The device answered, but its reply stayed damaged: not a refusal of the frames.
        const std::string detail =
            "the device's reply stayed damaged: its CRC or address did not match five times in "
            "a row";
        Notify([&](RunObserver& o) { o.OnError(detail, {}); });
        Finish(ExitCode::DeviceFailure, text, detail);
        return;
    }
    // Like tee: a log file that cannot take the lines is reported once, the lines go on to
    // the output until the run ends, and the outcome then says the file failed.
    if (step.kind == StepKind::Log && !m_inStartClick && verdict.kind == BoxKind::Failure &&
        verdict.code == ExitCode::FileProblem) {
        if (m_logFileFailure.empty()) m_logFileFailure = text;
        return;
    }
    if (verdict.kind == BoxKind::Failure) Finish(verdict.code, text, context);
}

void Run::OnStatusText(const std::string&) {
    ReportProgress();
}

void Run::OnProgressPos(int) {
    if (m_inRx && !m_steps.empty() && Step().kind == StepKind::Log)
        m_lastReply = m_setup.now();  // any frame keeps a log's timeout away
    // The bar is set once after every complete frame, while its code is still in place.
    if (m_inRx) {
        const uint8_t code = m_dlg->m_rxCode;
        if (code != RSP_LOG_START) {
            if (++m_repliesInMessage == 1) {
                // The timeout counts from the last reply; a reply's time runs from the one
                // before, which sent the frame it answers.
                const auto now = m_setup.now();
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

void Run::OnLogEntry(const std::string& text) {
    const bool logging = !m_steps.empty() && Step().kind == StepKind::Log;
    if (logging) m_lastReply = m_setup.now();  // so does any line
    const std::string line = PrintableLine(text);
    Notify([&](RunObserver& o) { o.OnDeviceLine(line, logging); });
}

bool Run::SwallowMessage(uint32_t message) {
    if (message != WM_COMM_RX || m_state != RunState::Settling) return false;
    // Settling: what arrives is left over from before this run; it is dropped unread and the
    // quiet time starts again. The reader waits in this notification, so the ring is ours.
    m_lastRxAt = m_setup.now();
    m_dlg->m_comm.m_rxHead = m_dlg->m_comm.m_rxTail;
    return true;
}

void Run::OnBeforeMessage(uint32_t message) {
    if (message != WM_COMM_RX) return;
    m_inRx = true;
    m_repliesInMessage = 0;
}

void Run::OnAfterMessage(uint32_t message) {
    if (message != WM_COMM_RX) return;
    m_inRx = false;
}

void Run::ReportProgress() {
    if (!m_clicked || Finished() || m_steps.empty()) return;  // the outcome closes the progress
    const RunStep& step = Step();
    RunProgress s;
    // The member, not the control: the control is refreshed only at the end of a drain, and
    // would pair the last phase's text with this block's percentage.
    s.status = m_dlg->m_status;
    const bool program = step.kind == StepKind::Program;
    const bool read = step.kind == StepKind::Read;
    if (!program && !read) return;  // the other steps have no progress to show
    const FlashRegion& region = Region(step.region);
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
        for (std::size_t i = 0; i < m_stepBytes.size(); ++i) {
            if (i < m_stepIndex) s.overallDone += m_stepBytes[i];
            if (i != m_stepIndex) s.overallTotal += m_stepBytes[i];
        }
        // A write or verify block counts from the moment it is sent; a read block only once
        // its data has arrived.
        if (program && done > 0) s.inFlight = std::min<uint64_t>(BLOCK_SIZE, done);
        s.elapsedSeconds = std::chrono::duration<double>(m_setup.now() - m_runStart).count();
        m_sawBlockPhase = true;
    } else if (!m_sawBlockPhase && s.status.starts_with("Ready")) {
        return;  // the window's idle text, before the first block
    } else if (s.status.starts_with("Programming ") || s.status.starts_with("Verifying ") ||
               s.status.starts_with("Reading ")) {
        // The step has left its block phase; the line still shows the phase's last percentage
        // until the next refresh brings the new status.
        return;
    }
    Notify([&](RunObserver& o) { o.OnProgress(s); });
}

}  // namespace orlo::run
