#include "ProgressLine.h"

#include <cmath>
#include <cstdio>

namespace orlo::cli {

namespace {

constexpr int kBarCells = 20;  // characters of the percentage bar

std::string Printf(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

}  // namespace

std::string FormatBytes(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    if (bytes < 1024 * 1024) return Printf("%.1f KiB", static_cast<double>(bytes) / 1024.0);
    return Printf("%.2f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

std::string FormatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return "--:--";
    const auto total = static_cast<uint64_t>(std::llround(seconds));
    const uint64_t h = total / 3600, m = (total / 60) % 60, s = total % 60;
    char buffer[48];
    if (h > 0)
        std::snprintf(buffer, sizeof buffer, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(h), static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(s));
    else
        std::snprintf(buffer, sizeof buffer, "%llu:%02llu", static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(s));
    return buffer;
}

double RateOf(const ProgressSnapshot& s) {
    if (!s.hasData || s.elapsedSeconds <= 0 || s.inFlight > s.overallDone) return 0;
    return static_cast<double>(s.overallDone - s.inFlight) / s.elapsedSeconds;
}

double SecondsLeft(const ProgressSnapshot& s) {
    const double rate = RateOf(s);
    if (rate <= 0 || s.overallDone > s.overallTotal) return -1;
    return static_cast<double>(s.overallTotal - s.overallDone + s.inFlight) / rate;
}

std::string FormatProgressLine(const ProgressSnapshot& s, bool bar, std::size_t width) {
    std::string line = s.label;
    if (!s.region.empty()) line += "  " + s.region;
    if (!s.hasData) {
        line += "  " + s.status;
    } else {
        const int percent = s.percent < 0 ? 0 : (s.percent > 100 ? 100 : s.percent);
        line += "  " + s.phase + " " + std::to_string(percent) + " %";
        if (bar) {
            const int filled = percent * kBarCells / 100;
            line += "  [" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(kBarCells - filled), '-') + "]";
        }
        line += "  " + FormatBytes(s.phaseDone) + " / " + FormatBytes(s.phaseTotal);
        const double rate = RateOf(s);
        if (rate > 0) {
            line += "  " + FormatBytes(static_cast<uint64_t>(rate)) + "/s (" +
                    Printf("%.0f", 100.0 * rate / kLineLimitBytesPerSecond) + " % of line)";
        }
        line += "  ETA " + FormatDuration(SecondsLeft(s));
    }
    // Status texts are the device's and the dialog's; nothing that moves the cursor gets out.
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    if (width > 0 && line.size() > width) line.resize(width);
    return line;
}

}  // namespace orlo::cli
