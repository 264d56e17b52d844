// The progress of one port as a line of text: region, phase, percentage, bytes, rate against
// the line's limit and the time left. Pure formatting, so it is tested without a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orlo::cli {

// Bytes per second the device line carries at most: 115200 baud, 10 bits a character (8N1).
constexpr double kLineLimitBytesPerSecond = 115200.0 / 10.0;

struct ProgressSnapshot {
    std::string label;         // the port as the user named it; empty: left out
    std::string region;        // "application", "voice", "map", "user"; empty when none
    std::string status;        // the status line as the window shows it
    bool hasData = false;      // a block phase is running: the fields below are meaningful
    std::string phase;         // "Programming", "Verifying", "Reading"
    int percent = 0;           // the window's percentage of the phase
    uint64_t phaseDone = 0;    // bytes of the phase sent or received
    uint64_t phaseTotal = 0;   // bytes of the phase
    uint64_t overallDone = 0;  // bytes of the whole run (programming: writes and verifies)
    uint64_t overallTotal = 0;
    uint64_t inFlight = 0;      // of overallDone: sent, not yet answered (left out of the rate)
    double elapsedSeconds = 0;  // since the run started
    uint32_t countdownSeconds = 0;  // the application's countdown after the blocks (time left)
};

// "512 B", "236.0 KiB", "1.95 MiB".
std::string FormatBytes(uint64_t bytes);
// "0:07", "12:34", "1:02:03"; "--:--" when unknown (negative or not finite).
std::string FormatDuration(double seconds);
// Bytes per second of the run so far; 0 before any time has passed.
double RateOf(const ProgressSnapshot& s);
// Seconds left at the rate so far, the application's countdown included; negative when unknown.
double SecondsLeft(const ProgressSnapshot& s);

// One line, at most `width` characters (0: no limit), plain text without control characters.
// `bar` adds a bar of the percentage. What does not fit goes in this order: the bar is
// shortened, then left out; then the rate's share of the line, then the region; last the
// words are shortened ("Write 25 % 11.2K/22.5K 11.2K/s 0:03"). Percent, bytes, rate and time
// left stay. A rate above the line's limit is shown without a share. An empty label is left out.
std::string FormatProgressLine(const ProgressSnapshot& s, bool bar, std::size_t width);

}  // namespace orlo::cli
