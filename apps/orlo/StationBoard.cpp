#include "StationBoard.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace orlo::cli {

namespace {

using station::SlotState;
using station::SlotView;

constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
constexpr std::size_t kMaxSlotColumn = 40;  // a longer slot name is cut in its row
constexpr std::size_t kDefaultColumns = 80;

std::string Fit(std::string text, std::size_t columns) {
    // Columns are counted in bytes: slot names and states are ASCII.
    if (columns > 1 && text.size() > columns - 1) text.resize(columns - 1);
    return text;
}

std::string OutcomeWord(const station::RunResult& result) {
    return result.passed ? "passed" : "failed";
}

}  // namespace

std::string TotalsLine(const station::Totals& totals) {
    std::string line = "passed " + std::to_string(totals.passed) + "  failed " +
                       std::to_string(totals.failed);
    if (totals.abandoned) line += " (abandoned " + std::to_string(totals.abandoned) + ")";
    line += "  running " + std::to_string(totals.running);
    if (totals.perHour > 0)
        line += "  " + std::to_string(static_cast<long>(std::lround(totals.perHour))) +
                " per hour";
    line += "  " + station::FormatDuration(totals.elapsedSeconds);
    return line;
}

StationBoard::StationBoard(std::ostream& out, std::ostream& err, ReporterOptions options,
                           const station::Station* station,
                           std::function<Clock::time_point()> now)
    : m_out(out),
      m_err(err),
      m_options(std::move(options)),
      m_station(station),
      m_now(now ? std::move(now) : [] { return Clock::now(); }) {}

std::size_t StationBoard::Columns() const {
    std::size_t columns = m_options.columns ? m_options.columns() : 0;
    if (columns == 0) columns = m_options.width;
    return columns == 0 ? kDefaultColumns : columns;
}

void StationBoard::Json(const std::string& object) {
    m_out << object << "\n";
    m_out.flush();
}

void StationBoard::Header(const std::string& what, const std::string& where,
                          const std::string& db) {
    if (m_options.json) {
        Json(nlohmann::json{{"event", "station"},
                            {"schema", kJsonSchemaVersion},
                            {"program", what},
                            {"slots", where},
                            {"db", db}}
                 .dump());
        return;
    }
    if (m_options.quiet) return;
    Line("station: programs " + what + " into every device plugged into " + where);
    Line("station: records every device in " + db +
         "; Ctrl+C stops taking devices, a second Ctrl+C abandons the running ones");
}

void StationBoard::Line(const std::string& text) {
    if (m_options.tty && !m_screen.empty()) {
        // Clear the board, print above it; it comes back at the next draw.
        m_out << "\x1b[" << m_screen.size() << "A\r\x1b[J";
        m_screen.clear();
        m_pending = true;
    }
    m_out << text << "\n";
    m_out.flush();
}

void StationBoard::SlotEvent(const char* event, const SlotView& slot, bool plain) {
    if (m_options.json) {
        nlohmann::json j{{"event", event}, {"slot", slot.name},
                         {"state", station::StateWord(slot.state)}};
        if (!slot.device.path.empty()) j["path"] = slot.device.path;
        if (slot.state == SlotState::Programming) {
            j["percent"] = static_cast<int>(slot.progress.fraction * 100);
            if (!slot.progress.text.empty()) j["status"] = slot.progress.text;
            if (slot.etaSeconds) j["eta_seconds"] = std::lround(*slot.etaSeconds);
        }
        Json(j.dump());
        return;
    }
    if (m_options.tty) {
        Changed();
        return;
    }
    if (plain && !m_options.quiet) Line(slot.name + ": " + station::SlotStateText(slot));
}

void StationBoard::OnSlotAppeared(const SlotView& slot) {
    SlotEvent("appeared", slot, false);
}

void StationBoard::OnSlotSettled(const SlotView& slot) {
    if (m_options.json) SlotEvent("settled", slot, false);
}

void StationBoard::OnSlotStarted(const SlotView& slot) {
    m_plainQuarter[slot.name] = 0;
    SlotEvent("started", slot, true);
}

void StationBoard::OnSlotProgress(const SlotView& slot) {
    if (!m_options.json && !m_options.tty) {
        // Plain lines: a line at every quarter of the run, not at every percent.
        const int quarter = static_cast<int>(slot.progress.fraction * 4);
        int& last = m_plainQuarter[slot.name];
        if (quarter <= last || quarter >= 4) return;
        last = quarter;
    }
    SlotEvent("progress", slot, true);
}

void StationBoard::OnSlotFinished(const SlotView& slot, const station::FinishedDevice& device) {
    if (m_options.json) {
        nlohmann::json j{{"event", "finished"},
                         {"slot", slot.name},
                         {"path", device.device.path},
                         {"outcome", OutcomeWord(device.result)},
                         {"abandoned", device.result.abandoned},
                         {"seconds", std::round(device.seconds * 10) / 10},
                         {"naks", device.result.naks}};
        if (!device.result.passed) j["reason"] = device.result.reason;
        if (!device.result.message.empty()) j["message"] = device.result.message;
        Json(j.dump());
        return;
    }
    SlotEvent("finished", slot, true);
}

void StationBoard::OnSlotRemoved(const SlotView& slot) {
    SlotEvent("removed", slot, false);
}

void StationBoard::OnTotals(const station::Totals& totals) {
    if (m_options.json) {
        nlohmann::json j{{"event", "totals"},          {"passed", totals.passed},
                         {"failed", totals.failed},    {"abandoned", totals.abandoned},
                         {"running", totals.running},  {"per_hour", std::lround(totals.perHour)}};
        Json(j.dump());
        return;
    }
    if (m_options.tty) {
        Changed();
        return;
    }
    // Plain lines: the totals after each finished device, not at each start.
    if (!m_options.quiet && totals.passed + totals.failed > m_plainFinished) Line(TotalsLine(totals));
    m_plainFinished = totals.passed + totals.failed;
}

void StationBoard::OnNotice(const std::string& sentence) {
    if (m_options.json) {
        Json(nlohmann::json{{"event", "notice"}, {"message", sentence}}.dump());
        return;
    }
    if (m_options.tty && !m_screen.empty()) {
        m_out << "\x1b[" << m_screen.size() << "A\r\x1b[J";
        m_screen.clear();
        m_pending = true;
    }
    m_out.flush();
    m_err << "orlo: " << sentence << "\n";
    m_err.flush();
}

void StationBoard::OnStopping(bool abandoning) {
    const std::string sentence =
        abandoning ? "abandoning the devices still being programmed"
                   : "taking no new devices; the ones being programmed finish";
    if (m_options.json) {
        Json(nlohmann::json{{"event", "stopping"}, {"abandon", abandoning}}.dump());
        return;
    }
    if (!m_options.quiet) Line("station: " + sentence);
}

void StationBoard::Changed() {
    m_pending = true;
    Draw(false);
}

std::vector<std::string> StationBoard::BoardLines() const {
    std::vector<std::string> lines;
    if (m_station == nullptr) return lines;
    const std::vector<SlotView> slots = m_station->Slots();
    std::size_t nameWidth = 4;
    for (const SlotView& s : slots) nameWidth = std::max(nameWidth, s.name.size());
    nameWidth = std::min(nameWidth, kMaxSlotColumn);
    const std::size_t columns = Columns();
    for (const SlotView& s : slots) {
        std::string name = s.name.substr(0, nameWidth);
        name.resize(nameWidth, ' ');
        lines.push_back(Fit(name + "  " + station::SlotStateText(s), columns));
    }
    lines.push_back(Fit(TotalsLine(m_station->GetTotals()), columns));
    return lines;
}

void StationBoard::Draw(bool force) {
    if (!m_options.tty || !m_pending) return;
    const Clock::time_point now = m_now();
    if (!force && now - m_lastDraw < kRedrawPeriod) return;
    m_lastDraw = now;
    m_pending = false;
    const std::vector<std::string> lines = BoardLines();
    const std::size_t columns = Columns();
    if (columns != m_drawnWidth && !m_screen.empty()) {
        // Another width: the old rows may have wrapped; draw the board afresh.
        m_out << "\x1b[" << m_screen.size() << "A\r\x1b[J";
        m_screen.clear();
    }
    m_drawnWidth = columns;
    std::string out;
    std::size_t row = m_screen.size();  // the cursor rests below the board
    auto moveTo = [&](std::size_t target) {
        if (target < row) out += "\x1b[" + std::to_string(row - target) + "A";
        if (target > row) out += "\x1b[" + std::to_string(target - row) + "B";
        out += "\r";
        row = target;
    };
    const std::size_t common = std::min(lines.size(), m_screen.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (lines[i] == m_screen[i]) continue;
        moveTo(i);
        out += lines[i] + "\x1b[K";
    }
    if (lines.size() < m_screen.size()) {
        for (std::size_t i = lines.size(); i < m_screen.size(); ++i) {
            moveTo(i);
            out += "\x1b[K";
        }
        moveTo(lines.size());
    } else {
        moveTo(m_screen.size());
        for (std::size_t i = m_screen.size(); i < lines.size(); ++i) out += lines[i] + "\x1b[K\n";
        row = lines.size();
    }
    m_screen = lines;
    if (!out.empty()) {
        m_out << out;
        m_out.flush();
    }
}

void StationBoard::Refresh() {
    Draw(false);
}

void StationBoard::Finish(int exitStatus) {
    if (m_options.json) {
        nlohmann::json j{{"event", "end"}, {"exit", exitStatus}};
        if (m_station) {
            const station::Totals t = m_station->GetTotals();
            j["passed"] = t.passed;
            j["failed"] = t.failed;
            j["abandoned"] = t.abandoned;
        }
        Json(j.dump());
        return;
    }
    if (m_options.tty) {
        m_pending = true;
        Draw(true);
        return;
    }
    if (m_station && !m_options.quiet) Line(TotalsLine(m_station->GetTotals()));
}

}  // namespace orlo::cli
