// Faults of the line itself, end to end: the device hangs up in the middle of a run, the device
// (and with it the port) vanishes, or the port is gone before it is opened.
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "faults/FaultRig.h"

namespace orlo::faults {
namespace {

constexpr int kExitPortFailure = 3;
constexpr int kExitTimeout = 4;

const std::string kTimedOut = "timeout: the device has not answered for " + kTimeoutArg + " s";
// A lost line ends the run at once, with its own sentence rather than the timeout's.
const std::string kPortGone = "the port went away";

class LineFaults : public FaultTest {
  protected:
    // Waits until `path` holds at least `bytes` bytes, collecting the child's output meanwhile.
    bool WaitForFileSize(Process& child, const fs::path& path, std::uintmax_t bytes) {
        const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code ec;
            const auto size = fs::file_size(path, ec);
            if (!ec && size >= bytes) return true;
            child.Drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // A stopped read-back of the voice region: the file holds whole blocks, exactly as many as
    // reported, and they are the flash's.
    void ExpectPartialVoice(const RunResult& r, const fs::path& chosen) {
        const fs::path file = chosen.string() + ".partial";
        const Bytes got = ReadFile(file);
        EXPECT_EQ(got.size() % kBlock, 0u);
        EXPECT_GT(got.size(), 0u);
        EXPECT_TRUE(got == Slice(flash, 0, got.size())) << "the kept blocks are not the flash's";
        EXPECT_NE(r.err.find(PartialReport(got.size(), kVoiceSize, file.string())),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("Reading completed"), std::string::npos) << r.out;
    }
};

TEST_F(LineFaults, AHangUpMidProgrammingEndsTheRunAtOnce) {
    auto device = Device({"--hang-up-after", "4"});
    const fs::path image = dir / "voice.adm";
    WriteFile(image, Pattern(10 * kBlock, 3));
    const RunResult r = Orlo(
        {"program", "voice", image.string(), "--port", device->Port(), "--timeout", kTimeoutArg});
    EXPECT_EQ(r.exitCode, kExitTimeout);
    EXPECT_NE(r.err.find(kPortGone), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Programming completed"), std::string::npos) << r.out;
    device->Stop();
    EXPECT_NE(device->Output().find("hung up as told"), std::string::npos) << device->Output();
}

TEST_F(LineFaults, AHangUpMidReadBackKeepsThePartialFile) {
    auto device = Device({"--hang-up-after", "5"});
    const fs::path out = dir / "voice.adm";
    const RunResult r =
        Orlo({"read", "voice", out.string(), "--port", device->Port(), "--timeout", kTimeoutArg});
    EXPECT_EQ(r.exitCode, kExitTimeout);
    EXPECT_NE(r.err.find(kPortGone), std::string::npos) << r.err;
    ExpectPartialVoice(r, out);
    EXPECT_EQ(fs::file_size(out.string() + ".partial"), 5u * kBlock);
    EXPECT_FALSE(fs::exists(out));
}

// The device process dies (as a USB adapter pulled out of its socket would take the port with
// it): the line is paced at 115200 baud, so the run is surely under way when it goes.
TEST_F(LineFaults, APortThatDisappearsMidReadBackEndsItAsPartial) {
    auto device = Device({"--baud", "115200"});
    const fs::path out = dir / "voice.adm";
    Process read(BinPath("orlo"), {"read", "voice", out.string(), "--port", device->Port(),
                                   "--timeout", kTimeoutArg});
    ASSERT_TRUE(read.Started());
    ASSERT_TRUE(WaitForFileSize(read, out.string() + ".partial", 2 * kBlock)) << read.Err();
    device->Kill();
    const RunResult r = read.Wait(kHangLimit);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, kExitTimeout) << r.err;
    EXPECT_NE(r.err.find(kPortGone), std::string::npos) << r.err;
    ExpectPartialVoice(r, out);
}

TEST_F(LineFaults, APortThatDisappearsMidProgrammingIsNotReportedDone) {
    auto device = Device({"--baud", "115200"});
    const fs::path image = dir / "voice.adm";
    WriteFile(image, Pattern(40 * kBlock, 4));  // about 29 s of line time
    // A timeout far beyond the run's end: a run that waited for it has not seen the loss.
    Process program(BinPath("orlo"), {"--json", "program", "voice", image.string(), "--port",
                                      device->Port(), "--timeout", "60"});
    ASSERT_TRUE(program.Started());
    // Wait for the first progress report of a block, then pull the device away.
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    while (program.Out().find("\"phase\":\"Programming\"") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        program.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(program.Out().find("\"phase\":\"Programming\""), std::string::npos)
        << program.Out() << program.Err();
    device->Kill();
    const auto killed = std::chrono::steady_clock::now();
    const RunResult r = program.Wait(kHangLimit);
    EXPECT_FALSE(r.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, kExitTimeout) << r.out;
    EXPECT_NE(r.out.find("\"outcome\":\"timeout\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"detail\":\"" + kPortGone), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\"kind\":\"completion\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"event\":\"done\",\"exit\":4,\"schema\":1}"), std::string::npos) << r.out;
}

// The port was there when it was listed and is gone when it is opened: a stale link whose
// device node has gone away. The link points at a name in the test's own folder rather than at
// a freed pseudo-terminal, whose number another program may take again at once.
TEST_F(LineFaults, APortGoneBeforeOpenIsNamed) {
    const fs::path link = dir / "ttyDEVICE";
    fs::create_symlink(dir / "gone" / "ttyUSB7", link);
    std::error_code ec;
    ASSERT_TRUE(fs::is_symlink(fs::symlink_status(link, ec)));
    ASSERT_FALSE(fs::exists(link, ec));
    const RunResult r = Orlo({"check", "--port", link.string(), "--timeout", kTimeoutArg});
    EXPECT_EQ(r.exitCode, kExitPortFailure);
    EXPECT_NE(r.err.find("orlo: the serial port " + link.string() + " does not exist. It may"),
              std::string::npos)
        << r.err;
}

}  // namespace
}  // namespace orlo::faults
