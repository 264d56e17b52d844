#include "station/Station.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orlo::station {

namespace {

// Below this share of the run the rate says too little to tell the time left.
constexpr double kEtaMinFraction = 0.02;
// The per-hour figure waits for some work, so the first quick device does not read as 3600.
constexpr double kPerHourMinSeconds = 10;

}  // namespace

std::string StateWord(SlotState state) {
    switch (state) {
        case SlotState::Waiting:
            return "waiting";
        case SlotState::Settling:
            return "settling";
        case SlotState::Programming:
            return "programming";
        case SlotState::Passed:
            return "PASSED";
        case SlotState::Failed:
            return "FAILED";
    }
    return "waiting";
}

std::string FormatDuration(double seconds) {
    const long total = std::max(0L, std::lround(seconds));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

std::string SlotStateText(const SlotView& slot) {
    switch (slot.state) {
        case SlotState::Waiting:
        case SlotState::Settling:
            return StateWord(slot.state);
        case SlotState::Programming: {
            std::string text = "programming " +
                               std::to_string(static_cast<int>(slot.progress.fraction * 100)) +
                               " %";
            if (slot.etaSeconds) text += ", " + FormatDuration(*slot.etaSeconds) + " left";
            return text;
        }
        case SlotState::Passed:
            return "PASSED - remove the device";
        case SlotState::Failed: {
            std::string text = "FAILED";
            if (!slot.reason.empty()) text += ": " + slot.reason;
            return text + " - remove the device";
        }
    }
    return {};
}

Station::Station(std::unique_ptr<ISlotWatcher> watcher, RunFactory runs, StationOptions options,
                 StationObserver* observer, RunRecorder recorder)
    : m_watcher(std::move(watcher)),
      m_runs(std::move(runs)),
      m_options(std::move(options)),
      m_observer(observer),
      m_recorder(std::move(recorder)) {
    if (!m_options.now) m_options.now = [] { return Clock::now(); };
    if (!m_options.wallNow) m_options.wallNow = [] { return std::chrono::system_clock::now(); };
    m_started = Now();
}

Station::~Station() {
    // Runs still under way end with the station, on record.
    if (!Done()) Abandon();
}

Clock::time_point Station::Now() const {
    return m_options.now();
}

bool Station::Taking() const {
    return !m_stopping && (m_options.count == 0 || m_begun < m_options.count);
}

void Station::Turn() {
    Watch();
    for (auto& [name, slot] : m_slots) {
        if (slot.view.state == SlotState::Settling && Taking() &&
            Now() - slot.appearedAt >= m_options.settle) {
            if (m_observer) m_observer->OnSlotSettled(slot.view);
            StartRun(slot);
        }
        if (slot.view.state == SlotState::Programming) PollRun(slot);
    }
    if (m_options.count != 0 && m_finished >= m_options.count && !m_stopping) {
        m_stopping = true;
        if (m_observer) m_observer->OnStopping(false);
    }
}

void Station::Watch() {
    const std::map<std::string, SlotDevice>& present = m_watcher->Present();
    const std::string problem = m_watcher->Problem();
    if (problem != m_lastProblem) {
        m_lastProblem = problem;
        if (!problem.empty() && m_observer) m_observer->OnNotice(problem);
    }
    // Gone, or another device in its place: the slot's device has been unplugged.
    for (auto& [name, slot] : m_slots) {
        if (slot.view.state == SlotState::Waiting) continue;
        const auto it = present.find(name);
        if (it == present.end())
            Unplugged(slot, "the device was unplugged during the run");
        else if (it->second.identity != slot.identity)
            Unplugged(slot, "another device took its place during the run");
    }
    for (const auto& [name, device] : present) {
        auto [it, added] = m_slots.try_emplace(name);
        Slot& slot = it->second;
        if (added) slot.view.name = name;
        if (slot.view.state != SlotState::Waiting) continue;
        slot.view.state = SlotState::Settling;
        slot.view.device = device;
        slot.view.reason.clear();
        slot.view.abandoned = false;
        slot.view.progress = {};
        slot.view.etaSeconds.reset();
        slot.identity = device.identity;
        slot.appearedAt = Now();
        if (m_observer) m_observer->OnSlotAppeared(slot.view);
    }
}

void Station::Unplugged(Slot& slot, const std::string& why) {
    if (slot.view.state == SlotState::Programming) {
        // Pulled mid-run: a failed run, and the slot is free for the next device.
        slot.run->Abandon(why, false);
        FinishRun(slot);
    }
    slot.view.state = SlotState::Waiting;
    slot.view.device = {};
    slot.view.progress = {};
    slot.view.etaSeconds.reset();
    slot.identity.clear();
    if (m_observer) m_observer->OnSlotRemoved(slot.view);
}

void Station::StartRun(Slot& slot) {
    ++m_begun;
    slot.runStart = Now();
    slot.wallStart = m_options.wallNow();
    slot.lastProgressKey.clear();
    std::string error;
    slot.run = m_runs ? m_runs(slot.view.name, slot.view.device, &error) : nullptr;
    slot.view.state = SlotState::Programming;
    if (m_observer) m_observer->OnSlotStarted(slot.view);
    if (!slot.run) {
        // Nothing to run: a failed device all the same, so the count and the record see it.
        FinishedDevice done;
        done.slot = slot.view.name;
        done.device = slot.view.device;
        done.started = done.ended = slot.wallStart;
        done.result.reason = error.empty() ? "the run could not start" : error;
        done.result.message = done.result.reason;
        slot.view.state = SlotState::Failed;
        slot.view.reason = done.result.reason;
        ++m_finished;
        ++m_failed;
        ++slot.view.devices;
        if (m_recorder) {
            const std::string problem = m_recorder(done);
            if (!problem.empty() && m_observer) m_observer->OnNotice(problem);
        }
        if (m_observer) m_observer->OnSlotFinished(slot.view, done);
        EmitTotals();
        return;
    }
    EmitTotals();
    PollRun(slot);
}

void Station::PollRun(Slot& slot) {
    slot.run->Poll();
    if (slot.run->Finished()) {
        FinishRun(slot);
        return;
    }
    const RunProgress progress = slot.run->Progress();
    const int percent = static_cast<int>(progress.fraction * 100);
    const double elapsed = std::chrono::duration<double>(Now() - slot.runStart).count();
    std::optional<double> eta;
    if (progress.fraction >= kEtaMinFraction && progress.fraction < 1)
        eta = elapsed * (1 - progress.fraction) / progress.fraction;
    // A change of the percentage, the text or the whole seconds left is worth an event.
    const std::string key = std::to_string(percent) + "|" + progress.text + "|" +
                            (eta ? std::to_string(std::lround(*eta)) : "-");
    if (key == slot.lastProgressKey) return;
    slot.lastProgressKey = key;
    slot.view.progress = progress;
    slot.view.etaSeconds = eta;
    if (m_observer) m_observer->OnSlotProgress(slot.view);
}

void Station::FinishRun(Slot& slot) {
    FinishedDevice done;
    done.slot = slot.view.name;
    done.device = slot.view.device;
    done.started = slot.wallStart;
    done.ended = m_options.wallNow();
    done.seconds = std::chrono::duration<double>(Now() - slot.runStart).count();
    done.result = slot.run->Result();
    slot.run.reset();  // the port is closed before the slot says so
    ++m_finished;
    ++slot.view.devices;
    if (done.result.passed) {
        ++m_passed;
        slot.view.state = SlotState::Passed;
    } else {
        ++m_failed;
        if (done.result.abandoned) ++m_abandoned;
        slot.view.state = SlotState::Failed;
        slot.view.reason = done.result.reason;
        slot.view.abandoned = done.result.abandoned;
    }
    slot.view.etaSeconds.reset();
    if (m_recorder) {
        const std::string problem = m_recorder(done);
        if (!problem.empty() && m_observer) m_observer->OnNotice(problem);
    }
    if (m_observer) m_observer->OnSlotFinished(slot.view, done);
    EmitTotals();
}

void Station::EmitTotals() {
    if (m_observer) m_observer->OnTotals(GetTotals());
}

Clock::duration Station::TimeToNextTurn(Clock::duration ceiling) const {
    Clock::duration wait = std::min<Clock::duration>(ceiling, m_watcher->Period());
    const Clock::time_point now = Now();
    for (const auto& [name, slot] : m_slots) {
        if (slot.view.state == SlotState::Settling && Taking())
            wait = std::min<Clock::duration>(wait, slot.appearedAt + m_options.settle - now);
        if (slot.run) wait = std::min(wait, slot.run->TimeToNextPoll());
    }
    return std::max(wait, Clock::duration::zero());
}

void Station::Stop() {
    if (m_stopping) return;
    m_stopping = true;
    if (m_observer) m_observer->OnStopping(false);
}

void Station::Abandon() {
    m_stopping = true;
    if (!m_abandoning && m_observer) m_observer->OnStopping(true);
    m_abandoning = true;
    for (auto& [name, slot] : m_slots) {
        if (slot.view.state != SlotState::Programming) continue;
        slot.run->Abandon("abandoned by the operator", true);
        FinishRun(slot);
    }
}

bool Station::Done() const {
    if (!m_stopping) return false;
    for (const auto& [name, slot] : m_slots)
        if (slot.view.state == SlotState::Programming) return false;
    return true;
}

std::vector<SlotView> Station::Slots() const {
    std::vector<SlotView> views;
    views.reserve(m_slots.size());
    for (const auto& [name, slot] : m_slots) views.push_back(slot.view);
    return views;
}

Totals Station::GetTotals() const {
    Totals t;
    t.passed = m_passed;
    t.failed = m_failed;
    t.abandoned = m_abandoned;
    for (const auto& [name, slot] : m_slots)
        if (slot.view.state == SlotState::Programming) ++t.running;
    t.elapsedSeconds = std::chrono::duration<double>(Now() - m_started).count();
    if (t.elapsedSeconds >= kPerHourMinSeconds)
        t.perHour = (m_passed + m_failed) * 3600.0 / t.elapsedSeconds;
    return t;
}

int Station::ExitStatus() const {
    if (m_abandoned > 0) return 130;
    return m_failed > 0 ? 1 : 0;
}

}  // namespace orlo::station
