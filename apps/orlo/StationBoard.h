// What `orlo station` prints while it runs, in one of three forms:
//  - a terminal: the board, one row per slot and the totals on the last line. Only the rows
//    whose text changed are rewritten, at most every 100 ms, each fitted to the width;
//  - not a terminal: one plain line per change of a slot's state (progress at every quarter),
//    and the totals after every finished device;
//  - --json: one object a line per change.
// Used on the station's thread only.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Reporter.h"
#include "station/Station.h"

namespace orlo::cli {

// The totals line: "passed 12  failed 1  running 3  71 per hour  0:10:05".
std::string TotalsLine(const station::Totals& totals);

class StationBoard : public station::StationObserver {
  public:
    using Clock = std::chrono::steady_clock;

    StationBoard(std::ostream& out, std::ostream& err, ReporterOptions options,
                 const station::Station* station = nullptr,
                 std::function<Clock::time_point()> now = {});
    void Attach(const station::Station* station) { m_station = station; }

    void OnSlotAppeared(const station::SlotView& slot) override;
    void OnSlotSettled(const station::SlotView& slot) override;
    void OnSlotStarted(const station::SlotView& slot) override;
    void OnSlotProgress(const station::SlotView& slot) override;
    void OnSlotFinished(const station::SlotView& slot,
                        const station::FinishedDevice& device) override;
    void OnSlotRemoved(const station::SlotView& slot) override;
    void OnTotals(const station::Totals& totals) override;
    void OnNotice(const std::string& sentence) override;
    void OnStopping(bool abandoning) override;

    // The first line: what the station programs, where it looks for devices and where it
    // keeps the record.
    void Header(const std::string& what, const std::string& where, const std::string& db);
    // Draws what the period held back; called after every turn.
    void Refresh();
    // The end: the board as it stands, and the last line.
    void Finish(int exitStatus);

  private:
    void SlotEvent(const char* event, const station::SlotView& slot, bool plain);
    void Changed();
    void Draw(bool force);
    std::vector<std::string> BoardLines() const;
    std::size_t Columns() const;
    void Json(const std::string& object);
    void Line(const std::string& text);  // above the board

    std::ostream& m_out;
    std::ostream& m_err;
    ReporterOptions m_options;
    const station::Station* m_station;
    std::function<Clock::time_point()> m_now;
    std::vector<std::string> m_screen;  // the board's rows as drawn
    std::size_t m_drawnWidth = 0;
    bool m_pending = false;
    Clock::time_point m_lastDraw{};
    std::map<std::string, int> m_plainQuarter;  // plain output: the last quarter printed
    unsigned m_plainFinished = 0;               // plain output: devices in the last totals
};

}  // namespace orlo::cli
