#include "ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

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
    return static_cast<double>(s.overallTotal - s.overallDone + s.inFlight) / rate +
           s.countdownSeconds;
}

namespace {

// Which parts of a progress line are shown, richest first; the first that fits is used.
struct Layout {
    bool bar;      // the percentage bar (shortened down to kMinBarCells before it goes)
    bool share;    // the rate's share of the line's limit
    bool region;   // the region's name
    bool compact;  // short phase name, bytes and rate without spaces, no "ETA"
};

constexpr int kMinBarCells = 8;
constexpr Layout kLayouts[] = {
    {true, true, true, false},    {false, true, true, false},  {false, false, true, false},
    {false, false, false, false}, {false, false, false, true},
};

// "11.2K", "1.95M": the compact form of FormatBytes.
std::string CompactBytes(uint64_t bytes) {
    std::string text = FormatBytes(bytes);
    if (text.ends_with(" KiB")) return text.substr(0, text.size() - 4) + "K";
    if (text.ends_with(" MiB")) return text.substr(0, text.size() - 4) + "M";
    if (text.ends_with(" B")) return text.substr(0, text.size() - 2);
    return text;
}

std::string ShortPhase(const std::string& phase) {
    if (phase == "Programming") return "Write";
    if (phase == "Verifying") return "Verify";
    if (phase == "Reading") return "Read";
    return phase;
}

std::string Join(const std::vector<std::string>& parts, const char* gap) {
    std::string line;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        if (!line.empty()) line += gap;
        line += part;
    }
    return line;
}

// The line of one layout; `barCells` 0 leaves the bar out.
std::string Compose(const ProgressSnapshot& s, const Layout& layout, int barCells) {
    const int percent = s.percent < 0 ? 0 : (s.percent > 100 ? 100 : s.percent);
    const double rate = RateOf(s);
    std::vector<std::string> parts{s.label, layout.region ? s.region : std::string()};
    if (layout.compact) {
        parts.push_back(ShortPhase(s.phase) + " " + std::to_string(percent) + " %");
        parts.push_back(CompactBytes(s.phaseDone) + "/" + CompactBytes(s.phaseTotal));
        if (rate > 0) parts.push_back(CompactBytes(static_cast<uint64_t>(rate)) + "/s");
        parts.push_back(FormatDuration(SecondsLeft(s)));
        return Join(parts, " ");
    }
    parts.push_back(s.phase + " " + std::to_string(percent) + " %");
    if (barCells > 0) {
        const int filled = percent * barCells / 100;
        parts.push_back("[" + std::string(static_cast<std::size_t>(filled), '#') +
                        std::string(static_cast<std::size_t>(barCells - filled), '-') + "]");
    }
    parts.push_back(FormatBytes(s.phaseDone) + " / " + FormatBytes(s.phaseTotal));
    if (rate > 0) {
        std::string text = FormatBytes(static_cast<uint64_t>(rate)) + "/s";
        // Above the line's limit (a port without a real line behind it) a share means nothing.
        if (layout.share && rate <= kLineLimitBytesPerSecond)
            text += " (" + Printf("%.0f", 100.0 * rate / kLineLimitBytesPerSecond) + " % of line)";
        parts.push_back(text);
    }
    parts.push_back("ETA " + FormatDuration(SecondsLeft(s)));
    return Join(parts, "  ");
}

// Status texts are the device's and the dialog's; nothing that moves the cursor gets out.
std::string Printable(std::string line) {
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return line;
}

}  // namespace

std::string FormatProgressLine(const ProgressSnapshot& s, bool bar, std::size_t width) {
    std::string line;
    if (!s.hasData) {
        line = Printable(Join({s.label, s.region, s.status}, "  "));
    } else if (width == 0) {
        line = Printable(Compose(s, kLayouts[0], bar ? kBarCells : 0));
    } else {
        for (const Layout& layout : kLayouts) {
            if (layout.bar) {
                if (!bar) continue;
                // The bar takes what the rest leaves, up to its full size.
                const std::size_t rest = Compose(s, layout, 0).size() + 4;  // "  [" and "]"
                if (rest + kMinBarCells > width) continue;
                const int cells = static_cast<int>(std::min<std::size_t>(kBarCells, width - rest));
                line = Printable(Compose(s, layout, cells));
                break;
            }
            line = Printable(Compose(s, layout, 0));
            if (line.size() <= width) break;
        }
    }
    if (width > 0 && line.size() > width) line.resize(width);
    return line;
}

}  // namespace orlo::cli
