#include "run/Run.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/OutputFile.h"
#include "protocol/Crc16.h"
#include "protocol/Protocol.h"
#include "protocol/ReadBack.h"
#include "run/WireWatch.h"

namespace orlo::run {

namespace {

constexpr uint32_t kWmLButtonUp = 0x0202;  // the queued mouse message of a click
constexpr uint32_t kCheckDataMinLen = 27;  // a check data frame that holds its 16 bytes
constexpr unsigned kAlignResends = 4;      // NAKs of the aligning check request answered again

constexpr const char* kNotConfirmed =
    "not confirmed: the device answered a frame of this run out of step (a reply of an earlier "
    "frame came late or twice), so its answers cannot be matched to this run's frames; run "
    "the command again";
constexpr const char* kWindowNotConfirmed =
    "This run is not confirmed: the device's answers came out of step with the frames sent, so "
    "what it stored cannot be trusted. Repeat the run.";
#define ORLO_DEVICE_GONE_CAUSE \
    "the line was hung up, the device node vanished or the device ended the connection"
constexpr const char* kDeviceGone = "the port went away: " ORLO_DEVICE_GONE_CAUSE;
constexpr const char* kWindowDeviceGone =
    " went away: " ORLO_DEVICE_GONE_CAUSE ". Nothing more can be sent to it: plug the device "
    "in, choose its port and press Open.";
#undef ORLO_DEVICE_GONE_CAUSE

bool IsRegionFamily(uint8_t code) {
    const uint8_t family = code & 0xF0;
    return family == CMD_FAMILY_APPLICATION || family == CMD_FAMILY_VOICE ||
           family == CMD_FAMILY_MAP || family == CMD_FAMILY_USER;
}
uint8_t Op(uint8_t code) {
    return code & 0x0F;
}
// The frames the device answers with ACK or NAK.
bool AnsweredByAck(uint8_t sent) {
    if (sent == CMD_FINISH || sent == CMD_SWEEP_SET) return true;
    return IsRegionFamily(sent) &&
           (Op(sent) == CMD_START || Op(sent) == CMD_WRITE || Op(sent) == CMD_VERIFY);
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
        case RunState::Starting:
            return "starting";
        case RunState::Aligning:
            return "aligning";
        case RunState::Running:
            return "running";
        case RunState::ProvingResend:
            return "proving-resend";
        case RunState::ProvingEnd:
            return "proving-end";
        case RunState::Countdown:
            return "countdown";
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

// The serial backend the dialog's port object opens through: every frame the dialog writes
// passes the run first, which may hold the first frame of a step back until the line is
// aligned.
class Run::Backend : public ISerialBackend {
  public:
    Backend(ISerialBackend& inner, Run& run) : m_inner(inner), m_run(run) {}
    std::shared_ptr<ISerialTransport> Open(const std::string& portName,
                                           SerialOpenResult* result) override {
        auto transport = m_inner.Open(portName, result);
        if (!transport) return transport;
        return std::make_shared<Transport>(std::move(transport), m_run);
    }
    std::shared_ptr<TransferEvent> CreateTransferEvent() override {
        return m_inner.CreateTransferEvent();
    }

  private:
    class Transport : public ForwardingTransport {
      public:
        Transport(std::shared_ptr<ISerialTransport> inner, Run& run)
            : ForwardingTransport(std::move(inner)), m_run(run) {}
        int Read(uint8_t* buffer, int count) override {
            const uint64_t writes = m_run.m_portWrites.load();
            const int got = m_inner->Read(buffer, count);
            if (got <= 0) return got;
            const uint64_t received = m_run.m_received += static_cast<uint64_t>(got);
            // The driver still sending the last frame, which was written before this read
            // began: these bytes came before that frame had left.
            if (m_inner->OutputInDriver() > 0 && m_run.m_portWrites.load() == writes)
                m_run.m_receivedWhileSending = received;
            return got;
        }
        bool Write(const uint8_t* data, std::size_t count) override {
            // Taken first, waiting second: a read in between can only make the sum smaller,
            // never count a byte that arrives after the frame has left.
            const uint64_t taken = m_run.m_received.load();
            const int waiting = m_inner->BytesWaiting();
            m_run.m_arrivedBeforeWrite = taken + static_cast<uint64_t>(std::max(waiting, 0));
            if (!m_run.OnWrite(data, count)) return true;  // held: written once aligned
            ++m_run.m_portWrites;
            return m_inner->Write(data, count);
        }

      private:
        Run& m_run;
    };

    ISerialBackend& m_inner;
    Run& m_run;
};

RunPolicy WindowPolicy() {
    RunPolicy policy;
    policy.timeout = std::chrono::milliseconds(0);
    policy.pollPeriod = std::chrono::milliseconds(250);
    return policy;
}

Run::Run(RunSetup setup, RunPolicy policy)
    : m_setup(std::move(setup)), m_policy(policy), m_window(*m_setup.window, *this) {
    if (!m_setup.now) m_setup.now = [] { return Clock::now(); };
    m_backend = std::make_unique<Backend>(*m_setup.serial, *this);
    OrloEnvironment env;
    env.window = &m_window;
    env.serial = m_backend.get();
    env.ports = m_setup.ports;
    env.now = m_setup.wallClock;
    env.imageQuestion = m_setup.imageQuestion;
    env.frameGate = [this](const uint8_t* frame, uint32_t length) { return OnFrame(frame, length); };
    m_dlg = std::make_unique<COrloDlg>(env);
    m_dlg->OnInitDialog();
    SetPolicy(policy);
}

Run::~Run() {
    // The window goes first: a reader still delivering bytes then returns at once, and the
    // dialog's port can be closed and its reader ended without waiting on the window.
    if (m_timerArmed) m_window.KillTimer(kPollTimerId);
    m_window.Destroy();
    m_dlg.reset();
}

void Run::SetPolicy(const RunPolicy& policy) {
    m_policy = policy;
    if (m_timerArmed) m_window.KillTimer(kPollTimerId);
    m_timerArmed = false;
    if (m_policy.pollPeriod.count() > 0)
        m_timerArmed = m_window.SetTimer(kPollTimerId, static_cast<unsigned>(m_policy.pollPeriod.count()));
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
    m_driver = Driver::Program;
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
    BeginStep();
}

void Run::BeginStep() {
    SetState(RunState::Starting);
    m_stepStart = m_lastReply = m_setup.now();
    m_expectedCompletion.clear();
    m_clicked = false;
    m_sawBlockPhase = false;
    m_routingProven = false;
    m_waitNamed = false;
    m_heldFrame.clear();
    m_heldReply.clear();
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
        case StepKind::Verify: {
            // No button: the window has none. The comparison starts like a click.
            const ReadBackRow& row = ReadBackRowFor(step.region);
            m_expectedCompletion = std::string(row.verified);
            m_inStartClick = true;
            m_clicked = true;
            m_dlg->StartVerify(row, step.image ? *step.image : std::vector<uint8_t>());
            m_inStartClick = false;
            break;
        }
        case StepKind::Check:
            StartClick(IDC_CHECK_APPLICATION);
            break;
        case StepKind::Sweep:
            StartClick(step.button);
            break;
        case StepKind::Log:
            SetState(RunState::Running);  // the device owes nothing; its lines are the output
            if (!step.path.empty()) {
                m_window.QueueFileAnswer(step.path);
                StartClick(IDC_SAVE_AS);
            }
            break;
        case StepKind::TestTx:
            // The device owes no answer; closing the port lets the string leave first.
            SetState(RunState::Running);
            StartClick(IDC_TEST_TX);
            if (!Finished()) Finish(ExitCode::Completed, {});
            break;
    }
}

// A frame the window's user started: the run of that button begins (the window has no Start).
void Run::UserRunBegins(uint8_t code) {
    RunStep step;
    if (code == CMD_CHECK) {
        step.kind = StepKind::Check;
    } else if (code == CMD_SWEEP_QUERY || code == CMD_SWEEP_SET) {
        step.kind = StepKind::Sweep;
    } else if (IsRegionFamily(code) && (Op(code) == CMD_START || Op(code) == CMD_READ)) {
        step.kind = Op(code) == CMD_START ? StepKind::Program : StepKind::Read;
        for (const RegionId id : {RegionId::Application, RegionId::Voice, RegionId::Map, RegionId::User})
            if (Region(id).family == (code & 0xF0)) step.region = id;
        m_expectedCompletion = std::string(step.kind == StepKind::Program
                                               ? ProgramCompletedText(step.region)
                                               : ReadCompletedText(step.region));
    } else {
        return;  // not the first frame of a run
    }
    m_steps = {step};
    m_stepIndex = 0;
    m_driver = Driver::User;
    m_clicked = true;
    m_sawBlockPhase = false;
    m_routingProven = false;
    m_waitNamed = false;
    m_outcome = Outcome{};
    m_stepStart = m_lastReply = m_setup.now();
    SetState(RunState::Starting);
    Notify([&](RunObserver& o) { o.OnStep(0, step); });
}

void Run::SendCheckRequest(RunState proving) {
    uint8_t frame[READ_REQUEST_LEN] = {FRAME_START,
                                       0x00,
                                       READ_REQUEST_LEN,
                                       CMD_CHECK,
                                       static_cast<uint8_t>(CHECK_BLOCK_ADDRESS >> 24),
                                       static_cast<uint8_t>(CHECK_BLOCK_ADDRESS >> 16),
                                       static_cast<uint8_t>(CHECK_BLOCK_ADDRESS >> 8),
                                       static_cast<uint8_t>(CHECK_BLOCK_ADDRESS),
                                       0x00,
                                       0x00,
                                       FRAME_END};
    const uint16_t crc = Crc16Bytes(frame, READ_REQUEST_LEN - 3);
    frame[READ_REQUEST_LEN - 3] = static_cast<uint8_t>(crc >> 8);
    frame[READ_REQUEST_LEN - 2] = static_cast<uint8_t>(crc & 0xFF);
    SetState(proving);
    m_lastReply = m_setup.now();
    m_waitNamed = false;
    m_sendingOwn = true;
    m_dlg->m_comm.Write(frame, sizeof frame);
    m_sendingOwn = false;
}

bool Run::OnWrite(const uint8_t* data, std::size_t count) {
    if (m_sendingOwn) return true;
    ++m_writes;
    const bool frame = count >= static_cast<std::size_t>(FRAME_MIN_LEN) && data[0] == FRAME_START;
    if (!frame) return true;  // the test string
    if (m_state == RunState::Idle) UserRunBegins(data[3]);
    if (m_state != RunState::Starting) {
        if (m_state == RunState::Running) m_lastReply = m_setup.now();  // a resend's clock
        return true;
    }
    // The step's first frame waits until the check request's answer has come: whatever the
    // line still holds from before is discarded up to it.
    m_heldFrame.assign(data, data + count);
    m_alignResends = 0;
    SendCheckRequest(RunState::Aligning);
    return false;
}

// Whether the complete frame answers the frame the dialog awaits. ACK and NAK are judged by
// their CRC once the device has shown that it fills it.
bool Run::Answers(const uint8_t* frame, uint32_t length) {
    const uint8_t code = frame[3];
    const uint8_t sent = m_dlg->m_txFrame[3];
    if (code == RSP_ACK || code == RSP_NAK) {
        // A NAK refuses any frame; an ACK answers those the device acts on.
        const bool refusable = AnsweredByAck(sent) || IsReadCommand(sent) || sent == CMD_CHECK ||
                               sent == CMD_SWEEP_QUERY;
        if (!(code == RSP_ACK ? AnsweredByAck(sent) : refusable)) return false;
        bool lengthOk = false;
        const uint16_t crc = Crc16(frame, length, &lengthOk);
        const uint16_t carried = length >= 7 ? static_cast<uint16_t>(frame[length - 3] << 8 | frame[length - 2]) : 0;
        if (lengthOk && crc == carried && crc != 0) m_ackCrcFilled = true;
        if (m_ackCrcFilled && (!lengthOk || crc != carried)) return false;
        return true;
    }
    if (IsReadCommand(code)) return code == sent;
    if (code == CMD_CHECK) return sent == CMD_CHECK && length >= kCheckDataMinLen;
    if (code == RSP_SWEEP_REPORT) return sent == CMD_SWEEP_QUERY;
    return false;
}

bool Run::CameBeforeTheFrameAwaited(uint32_t length) const {
    // Called while the dialog drains the ring, with the reader waiting for it: the bytes still
    // in the ring follow the frame. Ring first, count second, so a late read only makes the
    // frame look later.
    const CComm& comm = m_dlg->m_comm;
    const auto unread = static_cast<uint64_t>(
        ((comm.m_rxTail - comm.m_rxHead) % RX_RING_SIZE + RX_RING_SIZE) % RX_RING_SIZE);
    const uint64_t end = m_received.load() - std::min(unread, m_received.load());
    return end < m_arrivedBeforeWrite + length || end <= m_receivedWhileSending.load();
}

// The reply that completes the step once its alignment is proven.
bool Run::IsLastReply(uint8_t code) const {
    const uint8_t sent = m_dlg->m_txFrame[3];
    if (code == RSP_ACK && IsRegionFamily(sent) && Op(sent) == CMD_VERIFY)
        return m_dlg->m_imageOffset >= m_dlg->m_imageSize;
    if (IsReadCommand(code) && code == sent)
        return m_dlg->m_imageOffset + BLOCK_SIZE >= m_dlg->m_imageSize;
    if (code == CMD_CHECK && sent == CMD_CHECK) return true;
    if (code == RSP_ACK && sent == CMD_SWEEP_SET) return true;
    return false;
}

bool Run::OnFrame(const uint8_t* frame, uint32_t length) {
    const uint8_t code = frame[3];
    if (code == RSP_LOG_START) return true;  // the device's own, never an answer
    switch (m_state) {
        case RunState::Aligning:
        case RunState::ProvingResend:
        case RunState::ProvingEnd: {
            const bool checkAnswer = code == CMD_CHECK && length >= kCheckDataMinLen &&
                                     !CameBeforeTheFrameAwaited(length);
            if (m_state == RunState::Aligning) {
                if (!checkAnswer) {
                    // Left over from before this step, or a NAK of the check request itself
                    // (damaged on the line): that one is asked again, as the dialog asks any
                    // request again. A second answer of check data drives nothing.
                    if (code == RSP_NAK && m_alignResends < kAlignResends &&
                        !CameBeforeTheFrameAwaited(length)) {
                        ++m_alignResends;
                        SendCheckRequest(RunState::Aligning);
                    }
                    return false;
                }
                SetState(RunState::Running);
                m_lastReply = m_setup.now();
                m_waitNamed = false;
                const std::vector<uint8_t> first = std::exchange(m_heldFrame, {});
                m_sendingOwn = true;
                m_dlg->m_comm.Write(first.data(), first.size());
                m_sendingOwn = false;
                return false;
            }
            if (!checkAnswer) {
                // The frame still in flight answered first: the reply held was not its answer.
                NotConfirmed(kNotConfirmed);
                return false;
            }
            const bool end = m_state == RunState::ProvingEnd;
            SetState(RunState::Running);
            m_lastReply = m_setup.now();
            m_waitNamed = false;
            const std::vector<uint8_t> held = std::exchange(m_heldReply, {});
            if (held.empty()) return false;
            m_routingProven = end;
            const uint64_t writes = m_writes;
            m_dlg->RouteFrame(held.data(), static_cast<uint32_t>(held.size()));
            m_routingProven = false;
            // A reply the dialog asked for again (damaged) sent its frame again: not the end.
            if (end) AfterProvenReply(held[3], m_writes != writes);
            return false;
        }
        case RunState::Running: {
            if (!m_steps.empty() && Step().kind == StepKind::Log) {
                m_lastReply = m_setup.now();  // any frame keeps a log's timeout away
                return false;                 // nothing of the step is awaited
            }
            if (m_steps.empty() || Step().kind == StepKind::TestTx)
                return false;  // nothing of the step is awaited
            if (!Answers(frame, length)) return false;  // a stray: drives nothing, restarts nothing
            if (CameBeforeTheFrameAwaited(length)) {
                // An extra reply (twice sent, or late): every answer after it would be taken
                // for the frame after its own.
                NotConfirmed(kNotConfirmed);
                return false;
            }
            m_lastReply = m_setup.now();
            m_waitNamed = false;
            if (code == RSP_NAK || IsLastReply(code)) {
                m_heldReply.assign(frame, frame + length);
                SendCheckRequest(code == RSP_NAK ? RunState::ProvingResend : RunState::ProvingEnd);
                return false;
            }
            return true;
        }
        default:
            return false;  // no frame of a run is awaited
    }
}

// The step's last reply has been routed after its alignment was proven.
void Run::AfterProvenReply(uint8_t code, bool wroteAgain) {
    if (Finished() || m_steps.empty()) return;
    const RunStep& step = Step();
    if (step.kind == StepKind::Program && m_dlg->m_txFrame[3] == CMD_FINISH &&
        m_dlg->m_countdown > 0) {
        SetState(RunState::Countdown);  // the countdown's message completes it
        return;
    }
    if (step.kind == StepKind::Check && code == CMD_CHECK && !wroteAgain &&
        !m_dlg->m_checkText.empty()) {
        const std::string text = m_dlg->m_checkText;
        Notify([&](RunObserver& o) { o.OnCheckText(text); });
        Finish(ExitCode::Completed, {});
        return;
    }
    if (step.kind == StepKind::Sweep && code == RSP_ACK && !wroteAgain) {
        const COrloDlg& d = *m_dlg;
        Notify([&](RunObserver& o) { o.OnSweep(d.m_sweepMax, d.m_sweepMin, d.m_sweepTime, d.m_tm); });
        Finish(ExitCode::Completed, {});
    }
}

bool Run::Waiting() const {
    switch (m_state) {
        case RunState::Starting:
            return m_clicked && !m_inStartClick && m_dlg->RunUnderWay();
        case RunState::Aligning:
        case RunState::ProvingResend:
        case RunState::ProvingEnd:
            return true;
        case RunState::Running:
            return !m_steps.empty() && Step().kind != StepKind::Log &&
                   Step().kind != StepKind::TestTx;
        default:
            return false;
    }
}

Run::Clock::duration Run::TimeToNextPoll() const {
    return m_nextStepPending ? Clock::duration::zero() : Clock::duration::max();
}

void Run::TakeThreadBoxes() {
    for (const std::string& text : m_window.TakeThreadBoxes()) OnMessageBox(text);
}

void Run::Poll() {
    TakeThreadBoxes();
    if (m_driver != Driver::Program && m_state == RunState::Idle) {
        // The window between runs: a port that goes away is closed at once, not left open
        // for a Check or a Program that cannot reach the device.
        if (m_dlg->m_comm.m_bConnected.load() && LineGone()) WindowPortGone();
        return;
    }
    if (m_state == RunState::Idle || Finished()) return;
    if (m_nextStepPending) {
        // The next step of a sequence, outside the handler that completed the one before.
        m_nextStepPending = false;
        BeginStep();
        return;
    }
    const auto now = m_setup.now();
    if (m_driver == Driver::User && m_state != RunState::Countdown &&
        !m_dlg->m_comm.m_bConnected.load()) {
        // The window's user closed the port in the middle of the run: it ends here, so the
        // next run on this port is aligned at its start like any other.
        Finish(ExitCode::Interrupted, {}, "the port was closed during the run");
        return;
    }
    if (m_state != RunState::Countdown && LineGone()) {
        // The reader has seen the end of the line: the port is closed now, and the run ends
        // with the reason rather than waiting for an answer that cannot come.
        Notify([](RunObserver& o) { o.OnError(kDeviceGone, {}); });
        if (!m_steps.empty()) AddFrameContext(m_dlg->m_retryCount + 1);
        const bool window = m_driver == Driver::User;
        Finish(ExitCode::Timeout, {}, kDeviceGone);
        if (window) WindowPortGone();
        return;
    }
    const StepKind kind = Step().kind;
    if (kind == StepKind::Log && Step().duration.count() > 0 &&
        now - m_stepStart >= Step().duration) {
        Finish(ExitCode::Completed, {});
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
    if (!Waiting()) return;
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
    if (m_state == RunState::Aligning || m_state == RunState::ProvingResend ||
        m_state == RunState::ProvingEnd)
        return DescribeFrame(CMD_CHECK, std::nullopt);
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
    // The application's countdown runs after every block was verified, the alignment of the
    // line proven and the finish frame sent: nothing is lost by not waiting for it.
    if (m_state == RunState::Countdown) {
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
    m_stepResults.push_back(m_outcome);
    if (m_driver == Driver::User) {
        // The window's run has ended; the window stays, and so does its port.
        SetState(RunState::Idle);
        Notify([&](RunObserver& o) { o.OnOutcome(m_outcome); });
        m_heldFrame.clear();
        m_heldReply.clear();
        return;
    }
    // A comparison that found differences is a result, not a broken run: the next region is
    // compared too.
    const bool compared = m_outcome.verify.has_value();
    if ((m_outcome.code == ExitCode::Completed || compared) && m_stepIndex + 1 < m_steps.size()) {
        // The next step runs on the same connection, once the handler that completed this one
        // has returned (Poll).
        ++m_stepIndex;
        m_clicked = false;
        m_nextStepPending = true;
        SetState(RunState::Starting);
        return;
    }
    SetState(RunState::Ended);
}

void Run::Close() {
    if (m_state != RunState::Ended) return;
    const RunStep* step = m_steps.empty() ? nullptr : &Step();
    const bool read = step && step->kind == StepKind::Read;
    // A read-back that did not complete leaves the chosen file as it was; the outcome below
    // names the partial file instead of the dialog's box. A comparison just stops.
    if (read || (step && step->kind == StepKind::Verify)) m_dlg->AbandonReadBack();
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

// A comparison completes either way, once its last block was proven: blocks that differ fail
// the step, and the next region is compared all the same (see Finish).
void Run::FinishVerify(const std::string& text) {
    const BlockComparison& c = m_dlg->m_verify;
    VerifyResult v;
    v.region = Lower(Region(Step().region).name);
    v.image = Step().path;
    v.imageBytes = c.ImageBytes();
    v.blocks = c.Blocks();
    v.differingBlocks = c.DifferingBlocks();
    v.firstDifference = c.Base() + c.FirstDifference();
    v.firstDifferenceOffset = c.FirstDifference();
    m_outcome.verify = v;
    const std::string sentence = c.Sentence();
    if (v.differingBlocks == 0) {
        Notify([&](RunObserver& o) { o.OnBox(text, BoxKind::Completion, {}); });
        Notify([&](RunObserver& o) { o.OnNote(v.region + ": " + sentence); });
        Finish(ExitCode::Completed, text, sentence);
    } else {
        Notify([&](RunObserver& o) { o.OnError(v.region + ": " + sentence, {}); });
        Finish(ExitCode::DeviceFailure, text, sentence);
    }
}

void Run::NotConfirmed(const std::string& why) {
    m_heldReply.clear();
    AddFrameContext(m_dlg->m_retryCount + 1);
    Notify([&](RunObserver& o) { o.OnError(why, {}); });
    const bool window = m_driver == Driver::User;
    Finish(ExitCode::DeviceFailure, {}, why);
    if (window) {
        // The window's run cannot go on on a line out of step: the port closes, and the box
        // says to repeat the run instead of any completion.
        WindowBackToClosed();
        m_window.Inner().MessageBox(kWindowNotConfirmed, COrloDlg::kAppTitle, MB_ICONHAND);
    }
}

void Run::WindowBackToClosed() {
    if (m_dlg->m_comm.m_bConnected.load()) m_dlg->OnClosePort();
    // The status and the bar of the run that ended must not look like one under way or done.
    m_dlg->m_status = "Ready";
    m_dlg->m_progress = 0;
    m_dlg->UpdateData(false);
}

void Run::WindowPortGone() {
    std::string port;
    const int entry = m_window.ComboGetCurSel(IDC_COMBO_PORT);
    if (entry <= 0 || !m_window.ComboGetLBText(IDC_COMBO_PORT, entry, &port)) port = ShownName();
    WindowBackToClosed();
    m_window.Inner().MessageBox("The serial port " + port + kWindowDeviceGone,
                                COrloDlg::kAppTitle, MB_ICONHAND);
}

void Run::OnMessageBox(const std::string& text) {
    // Not a run of ours: nothing started, or the window's run has ended.
    if (m_steps.empty() || (m_driver == Driver::User && m_state == RunState::Idle)) return;
    const BoxVerdict verdict = ClassifyBox(text, m_expectedCompletion, m_inStartClick);
    const RunStep& step = Step();
    if (verdict.kind == BoxKind::Completion) {
        // Counts only as the answer to the step's last reply, routed once the alignment of the
        // line was proven, or as the end of the application's countdown.
        if (Finished() || (!m_routingProven && m_state != RunState::Countdown)) return;
        // The last step (100 %) is shown before the outcome closes the progress.
        if (step.kind == StepKind::Read || step.kind == StepKind::Program ||
            step.kind == StepKind::Verify)
            ReportProgress();
        if (step.kind == StepKind::Verify) {
            FinishVerify(text);
            return;
        }
        Notify([&](RunObserver& o) { o.OnBox(text, verdict.kind, {}); });
        Finish(ExitCode::Completed, text);
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
    ReportProgress();
}

void Run::OnLogEntry(const std::string& text) {
    const bool logging = !m_steps.empty() && Step().kind == StepKind::Log;
    if (logging) m_lastReply = m_setup.now();  // so does any line
    const std::string line = PrintableLine(text);
    Notify([&](RunObserver& o) { o.OnDeviceLine(line, logging); });
}

bool Run::SwallowMessage(uint32_t message, uintptr_t wParam) {
    if (message == WM_TIMER && wParam == kPollTimerId) {
        Poll();
        return true;
    }
    return false;
}

void Run::ReportProgress() {
    if (!m_clicked || Finished() || m_steps.empty()) return;  // the outcome closes the progress
    const RunStep& step = Step();
    RunProgress s;
    // The member, not the control: the control is refreshed only at the end of a drain, and
    // would pair the last phase's text with this block's percentage.
    s.status = m_dlg->m_status;
    const bool program = step.kind == StepKind::Program;
    const bool verify = step.kind == StepKind::Verify;
    const bool read = step.kind == StepKind::Read || verify;
    if (!program && !read) return;  // the other steps have no progress to show
    const FlashRegion& region = Region(step.region);
    s.region = Lower(region.name);
    const uint8_t cmd = m_dlg->m_txFrame[3];
    const uint8_t op = cmd & 0x0F;
    const bool sameFamily = (cmd & 0xF0) == region.family;
    const uint64_t size = m_dlg->m_imageSize;
    const uint64_t done = std::min<uint64_t>(m_dlg->m_imageOffset, size);
    // The countdown as it is: the finish frame's own ACK sets "Ready" while the device still
    // needs its seconds, and the board may go only once the countdown has run out.
    const bool counting = program && cmd == CMD_FINISH && m_dlg->m_countdown > 0;
    if (counting && s.status.starts_with("Ready"))
        s.status = "Wait " + std::to_string(m_dlg->m_countdown) + " sec";
    if (program && step.region == RegionId::Application)
        s.countdownSeconds = counting ? m_dlg->m_countdown
                                      : COrloDlg::CountdownSeconds(static_cast<uint32_t>(size));
    if (sameFamily && size > 0 &&
        ((program && (op == CMD_WRITE || op == CMD_VERIFY)) || (read && op == CMD_READ))) {
        s.hasData = true;
        s.phase = op == CMD_WRITE ? "Programming"
                  : (op == CMD_VERIFY || verify) ? "Verifying"
                                                 : "Reading";
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
