// The front-end's pieces in-process: the progress line, the reporter's three forms of output
// and the meaning of the dialog's messages.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "Messages.h"
#include "ProgressLine.h"
#include "Reporter.h"

namespace orlo::cli {
namespace {

ProgressSnapshot Snapshot(const std::string& phase, int percent, uint64_t size = 100000) {
    ProgressSnapshot s;
    s.label = "COM3";
    s.region = "voice";
    s.status = phase + " " + std::to_string(percent) + " %";
    s.hasData = true;
    s.phase = phase;
    s.percent = percent;
    s.phaseTotal = size;
    s.phaseDone = size * static_cast<uint64_t>(percent) / 100;
    s.overallTotal = 2 * size;
    s.overallDone = (phase == "Verifying" ? size : 0) + s.phaseDone;
    s.elapsedSeconds = 10;
    return s;
}

TEST(ProgressLineTest, FormatsBytesAndDurations) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(241664), "236.0 KiB");
    EXPECT_EQ(FormatBytes(2048000), "1.95 MiB");
    EXPECT_EQ(FormatDuration(7), "0:07");
    EXPECT_EQ(FormatDuration(754), "12:34");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatDuration(-1), "--:--");
}

TEST(ProgressLineTest, ShowsPhaseBytesRateAgainstTheLineAndTimeLeft) {
    // 11520 bytes in one second is exactly the line's limit; 3 x 11520 bytes remain.
    ProgressSnapshot s = Snapshot("Programming", 25, 23040);
    s.phaseDone = 11520;
    s.overallDone = 11520;
    s.overallTotal = 46080;
    s.elapsedSeconds = 1;
    EXPECT_DOUBLE_EQ(RateOf(s), 11520);
    EXPECT_DOUBLE_EQ(SecondsLeft(s), 3);
    EXPECT_EQ(FormatProgressLine(s, false, 0),
              "COM3  voice  Programming 25 %  11.2 KiB / 22.5 KiB  11.2 KiB/s (100 % of line)  "
              "ETA 0:03");
    EXPECT_NE(FormatProgressLine(s, true, 0).find("25 %  [#####---------------]  11.2 KiB"),
              std::string::npos);
    EXPECT_EQ(FormatProgressLine(s, true, 20).size(), 20u);

    // A block sent and not yet answered does not count toward the rate.
    s.inFlight = 4096;
    s.overallDone = 11520 + 4096;
    EXPECT_DOUBLE_EQ(RateOf(s), 11520);
    EXPECT_DOUBLE_EQ(SecondsLeft(s), 3);

    // No block phase: the window's status as it is, without anything that moves the cursor.
    ProgressSnapshot wait;
    wait.label = "COM3";
    wait.region = "application";
    wait.status = "Wait 7 sec\x1b[2J\r";
    EXPECT_EQ(FormatProgressLine(wait, true, 0), "COM3  application  Wait 7 sec [2J ");
}

// The line fitted to the terminal: the bar goes first, then the rate's share of the line, then
// the region, then the long words; percent, bytes, rate and time left stay.
struct FitCase {
    std::string label;
    double rate;  // bytes per second
    std::size_t width;
    std::string line;
};

class ProgressFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(ProgressFitTest, KeepsPercentBytesRateAndTimeLeft) {
    const FitCase& c = GetParam();
    ProgressSnapshot s = Snapshot("Programming", 25, 23040);
    s.label = c.label;
    s.phaseDone = 11520;
    s.overallDone = 11520;
    s.overallTotal = 46080;
    s.elapsedSeconds = 11520 / c.rate;
    const std::string line = FormatProgressLine(s, true, c.width);
    EXPECT_EQ(line, c.line);
    EXPECT_LE(line.size(), c.width);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ProgressFitTest,
    ::testing::Values(
        FitCase{"", 11520, 199,
                "voice  Programming 25 %  [#####---------------]  11.2 KiB / 22.5 KiB  "
                "11.2 KiB/s (100 % of line)  ETA 0:03"},
        FitCase{"", 11520, 96,
                "voice  Programming 25 %  [##--------]  11.2 KiB / 22.5 KiB  11.2 KiB/s "
                "(100 % of line)  ETA 0:03"},
        FitCase{"", 11520, 90,
                "voice  Programming 25 %  11.2 KiB / 22.5 KiB  11.2 KiB/s (100 % of line)  "
                "ETA 0:03"},
        FitCase{"", 11520, 79,
                "voice  Programming 25 %  11.2 KiB / 22.5 KiB  11.2 KiB/s  ETA 0:03"},
        FitCase{"", 11520, 60, "Programming 25 %  11.2 KiB / 22.5 KiB  11.2 KiB/s  ETA 0:03"},
        FitCase{"", 11520, 39, "Write 25 % 11.2K/22.5K 11.2K/s 0:03"},
        // Faster than the line allows: no share of it, even with room to spare.
        FitCase{"", 23040, 199,
                "voice  Programming 25 %  [#####---------------]  11.2 KiB / 22.5 KiB  "
                "22.5 KiB/s  ETA 0:02"},
        // Several ports: the port stays at the front.
        FitCase{"/dev/ttyUSB1", 11520, 79,
                "/dev/ttyUSB1  Programming 25 %  11.2 KiB / 22.5 KiB  11.2 KiB/s  ETA 0:03"}));

TEST(ReporterTest, PlainOutputPrintsEveryTenPercentOnceWithoutControlCharacters) {
    std::ostringstream out, err;
    Reporter r(out, err, ReporterOptions{});
    const int port = r.AddPort("COM3");
    for (int p = 0; p <= 100; ++p) r.Progress(port, Snapshot("Programming", p));
    for (int p = 1; p <= 100; p += 3) r.Progress(port, Snapshot("Verifying", p));
    r.Box(port, "Programming completed of Voice data", BoxKind::Completion);
    r.Box(port, "Tx Error", BoxKind::Failure);

    std::istringstream lines(out.str());
    std::string line;
    int programming = 0, verifying = 0;
    while (std::getline(lines, line)) {
        programming += line.find(" Programming ") != std::string::npos;
        verifying += line.find(" Verifying ") != std::string::npos;
    }
    EXPECT_EQ(programming, 11);  // 0, 10, ..., 100
    EXPECT_EQ(verifying, 11);    // 1, 10, 19, ..., 100
    EXPECT_EQ(out.str().find('\r'), std::string::npos);
    EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
    EXPECT_NE(out.str().find("\nProgramming completed of Voice data\n"), std::string::npos);
    EXPECT_EQ(err.str(), "Tx Error\n");
}

TEST(ReporterTest, TerminalOutputUpdatesOneLinePerPort) {
    Reporter::Clock::time_point now{};
    ReporterOptions tty;
    tty.tty = true;
    tty.width = 200;
    {
        std::ostringstream out, err;
        Reporter r(out, err, tty, [&] { return now; });
        const int port = r.AddPort("COM3");
        r.Progress(port, Snapshot("Programming", 10));
        now += std::chrono::milliseconds(10);
        r.Progress(port, Snapshot("Programming", 11));  // too soon to redraw
        now += std::chrono::milliseconds(200);
        r.Progress(port, Snapshot("Programming", 12));
        EXPECT_EQ(out.str().find("\n"), std::string::npos);  // one line, rewritten in place
        // One port: its name comes once, ahead of the line, not on it.
        EXPECT_NE(out.str().find("\r\x1b[Kvoice  Programming 10 %"), std::string::npos);
        EXPECT_EQ(out.str().find("Programming 11 %"), std::string::npos);
        EXPECT_NE(out.str().find("\r\x1b[Kvoice  Programming 12 %"), std::string::npos);
    }
    {
        // Several ports: only changed lines are rewritten, at most once per redraw period.
        std::ostringstream out, err;
        Reporter r(out, err, tty, [&] { return now; });
        const int a = r.AddPort("COM3");
        const int b = r.AddPort("COM4");
        auto onB = [](ProgressSnapshot s) {
            s.label = "COM4";
            return s;
        };
        r.Progress(a, Snapshot("Programming", 10));
        EXPECT_TRUE(out.str().ends_with("\x1b[2KCOM4  opening\n")) << out.str();
        const std::size_t drawn = out.str().size();
        r.Progress(b, onB(Snapshot("Verifying", 20)));
        r.Refresh();
        EXPECT_EQ(out.str().size(), drawn);  // held back until the period has passed
        now += std::chrono::milliseconds(150);
        r.Progress(a, Snapshot("Programming", 11));
        r.Refresh();
        const std::string update = out.str().substr(drawn);
        // Up two lines to "1 %" of COM3's line, then down to COM4's, then below the block.
        EXPECT_EQ(update.find("\x1b[2A\x1b[27G1 %  ["), 0u) << update;
        EXPECT_NE(update.find("\x1b[K\r\x1b[1B\x1b[7Gvoice  Verifying 20 %"), std::string::npos);
        EXPECT_EQ(update.substr(update.size() - 8), "\x1b[K\r\x1b[1B");
        EXPECT_EQ(update.find("COM"), std::string::npos);

        // A message clears the lines and goes above them; they come back a period later.
        r.Box(b, "Programming completed of Voice data", BoxKind::Completion);
        EXPECT_EQ(out.str().substr(drawn + update.size()),
                  "\x1b[2A\r\x1b[JCOM4: Programming completed of Voice data\n");
        now += std::chrono::milliseconds(150);
        r.Refresh();
        EXPECT_NE(out.str().find("Voice data\n\x1b[2KCOM3  voice  Programming 11 %"),
                  std::string::npos);
    }
}

TEST(ReporterTest, JsonOutputIsOneObjectALine) {
    std::ostringstream out, err;
    ReporterOptions json;
    json.json = true;
    json.quiet = true;  // --json reports everything regardless
    Reporter r(out, err, json);
    const int port = r.AddPort("/dev/pts/3");
    r.Opened(port, "COM80", "/dev/pts/3");
    r.Progress(port, Snapshot("Programming", 50));
    r.Progress(port, Snapshot("Programming", 50));  // nothing new: no second object
    r.DeviceLine(port, std::string("bad \xff byte"), true);
    Outcome o;
    o.code = ExitCode::Timeout;
    o.detail = "timeout";
    r.Result(port, o);
    r.Finish({o}, 4);
    EXPECT_EQ(err.str(), "");

    std::vector<nlohmann::json> objects;
    std::istringstream lines(out.str());
    std::string line;
    while (std::getline(lines, line)) objects.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(objects.size(), 5u);
    EXPECT_EQ(objects[0]["com"], "COM80");
    EXPECT_EQ(objects[1]["percent"], 50);
    EXPECT_EQ(objects[1]["bytes"], 50000);
    EXPECT_DOUBLE_EQ(objects[1]["rate"].get<double>(), 5000);
    EXPECT_EQ(objects[2]["text"], "bad \xef\xbf\xbd byte");  // not UTF-8: replaced, not refused
    EXPECT_EQ(objects[3]["outcome"], "timeout");
    EXPECT_EQ(objects[3]["ok"], false);
    EXPECT_EQ(objects[4], (nlohmann::json{{"event", "done"}, {"exit", 4}, {"schema", 1}}));
}

}  // namespace
}  // namespace orlo::cli
