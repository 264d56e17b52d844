// What orlo tells the user and what it leaves behind: the progress line on terminals of
// several widths, the -v wire trace, and the --report record checked against a run on the
// simulated device.
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "CliFixture.h"
#include "record/Sha256.h"
#include "support/Pty.h"

namespace orlo::cli::test {
namespace {

// orlo with standard output on a pseudo-terminal of `columns` columns; returns what the
// terminal received.
std::string RunOnTerminal(const std::vector<std::string>& args, unsigned short columns,
                          int* exitCode) {
    orlo::test::Pty pty;
    EXPECT_TRUE(pty.ok()) << pty.error();
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    ::ioctl(pty.slave(), TIOCSWINSZ, &size);
    const std::string program = BinPath("orlo");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pty.slave(), STDOUT_FILENO);
        ::setenv("TERM", "xterm", 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    std::string screen;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    for (;;) {
        const auto bytes = pty.Drain(std::chrono::milliseconds(50));
        screen.append(bytes.begin(), bytes.end());
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "orlo did not end";
            break;
        }
    }
    const auto rest = pty.Drain(std::chrono::milliseconds(100));
    screen.append(rest.begin(), rest.end());
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return screen;
}

// The lines as the terminal shows them one after another: split at CR and LF, escape
// sequences left out.
std::vector<std::string> Drawn(const std::string& screen) {
    const std::string plain = std::regex_replace(screen, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
    std::vector<std::string> lines;
    std::string line;
    for (char c : plain) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

class ProgressOnTerminalTest : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(ProgressOnTerminalTest, FitsTheWidthAndKeepsPercentBytesRateAndTimeLeft) {
    const auto columns = static_cast<unsigned short>(GetParam());
    auto& sim = StartDevice();
    const std::string file = WriteFile("voice.adm", MakeImage(20 * 4096));
    int exitCode = -1;
    const std::string screen =
        RunOnTerminal({"program", "voice", file, "--port", sim.SlavePath()}, columns, &exitCode);
    EXPECT_EQ(exitCode, 0) << screen;

    // Percent, bytes done and total, rate and time left, in long or short words.
    const std::regex progress(R"((\d+ %).*\d+(\.\d+)? ?[KM]?i?B? ?/ ?\d.*/s.*\d+:\d\d)");
    std::size_t progressLines = 0;
    for (const std::string& line : Drawn(screen)) {
        EXPECT_LT(line.size(), columns) << line;
        if (!std::regex_search(line, progress)) continue;
        ++progressLines;
        // One port: named once at the start, not on every line.
        EXPECT_EQ(line.find(sim.SlavePath()), std::string::npos) << line;
        if (columns >= 200) {
            EXPECT_NE(line.find("#"), std::string::npos) << line;
        }
    }
    EXPECT_GT(progressLines, 0u) << screen;
    EXPECT_NE(screen.find("port COM"), std::string::npos) << screen;
}

INSTANTIATE_TEST_SUITE_P(Columns, ProgressOnTerminalTest, ::testing::Values(40, 80, 200));

TEST_F(CliTest, VerboseTracesEveryFrameWithoutItsData) {
    auto& sim = StartDevice();
    const std::string file = WriteFile("user.dat", MakeImage(100));
    const RunResult r = RunOrlo({"-v", "program", "user", file, "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The check request before the first frame and after the last reply proves the line is
    // in step; the last ACK counts once its answer has come.
    EXPECT_EQ(r.err,
              "> 0x1B check addr=0x3FE000 len=11\n"
              "< 0x1B check data addr=0x3FE000 len=27\n"
              "> 0x40 start len=7\n"
              "< 0x06 ACK len=7\n"
              "> 0x41 write addr=0x3C2000 len=4107\n"
              "< 0x06 ACK len=7\n"
              "> 0x42 verify addr=0x3C2000 len=4107\n"
              "< 0x06 ACK len=7\n"
              "> 0x1B check addr=0x3FE000 len=11\n"
              "< 0x1B check data addr=0x3FE000 len=27\n");
}

TEST_F(CliTest, ReportRecordsTheRunTheImageAndTheBytesReadBack) {
    devsim::DeviceOptions options;
    options.faults.nakFrame = 2;  // the write block is refused twice, then taken
    options.faults.nakCount = 2;
    auto& sim = StartDevice(options);
    const Bytes image = MakeImage(4096, 3);
    const std::string file = WriteFile("user.dat", image);
    const std::string imageSha = orlo::record::Sha256Hex(
        std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));

    const std::string report = (dir / "program.json").string();
    const std::vector<std::string> args{"program",       "user",     file,  "--port",
                                        sim.SlavePath(), "--report", report};
    const RunResult r = RunOrlo(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto doc = nlohmann::json::parse(ReadText(report));
    EXPECT_EQ(doc["report_version"], 1);
    EXPECT_EQ(doc["tool"]["name"], "orlo");
    EXPECT_FALSE(doc["tool"]["version"].get<std::string>().empty());
    EXPECT_FALSE(doc["tool"]["commit"].get<std::string>().empty());
    EXPECT_EQ(doc["command_line"].size(), args.size() + 1);
    EXPECT_EQ(doc["command_line"][1], "program");
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    EXPECT_TRUE(std::regex_match(doc["start"].get<std::string>(), iso)) << doc["start"];
    EXPECT_LE(doc["start"].get<std::string>(), doc["end"].get<std::string>());
    EXPECT_EQ(doc["region"], "user");
    EXPECT_EQ(doc["image"]["path"], file);
    EXPECT_EQ(doc["image"]["size"], image.size());
    EXPECT_EQ(doc["image"]["sha256"], imageSha);
    EXPECT_EQ(doc["exit"], 0);
    ASSERT_EQ(doc["devices"].size(), 1u);
    const auto& device = doc["devices"][0];
    EXPECT_EQ(device["port"], sim.SlavePath());
    EXPECT_EQ(device["path"], sim.SlavePath());
    EXPECT_EQ(device["com"].get<std::string>().rfind("COM", 0), 0u);
    EXPECT_TRUE(device["usb_serial"].is_null());
    EXPECT_EQ(device["outcome"], "completed");
    EXPECT_EQ(device["exit"], 0);
    ASSERT_EQ(device["naks"].size(), 2u);
    for (const auto& nak : device["naks"]) {
        EXPECT_EQ(nak["phase"], "write");
        EXPECT_EQ(nak["address"], 0x3C2000);
    }
    EXPECT_EQ(device["blocks"], 2);  // one write and one verify; resends are not blocks
    EXPECT_GT(device["blocks_per_second"].get<double>(), 0);

    // Reading the region back: the bytes read have the image's digest, and --json's read
    // progress reaches 100.
    const std::string readReport = (dir / "read.json").string();
    const RunResult read = RunOrlo({"--json", "read", "user", (dir / "back.dat").string(), "--port",
                                    sim.SlavePath(), "--report", readReport});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    const auto back = nlohmann::json::parse(ReadText(readReport))["devices"][0]["read_back"];
    EXPECT_EQ(back["sha256"], imageSha);
    EXPECT_EQ(back["bytes"], 4096);
    EXPECT_EQ(back["partial"], false);
    const auto progress = Events(JsonLines(read.out), "progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back()["percent"], 100);
}

}  // namespace
}  // namespace orlo::cli::test
