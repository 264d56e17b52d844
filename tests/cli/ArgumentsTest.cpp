// The command line takes its options and positionals in any order and checks every value;
// outputs that are not files and images that are not raw bytes are refused before a port
// opens; a gang of any size runs; a log ends after its timeout of silence; a read to standard
// output that does not complete keeps nothing.
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "CliFixture.h"
#include "support/TestSystem.h"

namespace orlo::cli::test {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(CliTest, OptionsAndPositionalsComeInAnyOrderAndEveryValueIsChecked) {
    auto& device = StartDevice();
    const std::string port = device.SlavePath();
    const Bytes image = MakeImage(100, 7);
    const std::string file = WriteFile("u.dat", image);
    const std::string out = (dir / "out.dat").string();
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string err;  // part of standard error
    };
    const std::vector<Case> cases = {
        // Options before, between and after the positionals.
        {{"program", "user", "--port", port, file, "--timeout", "3"}, 0, ""},
        {{"program", "--timeout", "3", "user", "--port", port, file}, 0, ""},
        {{"read", "--port", port, "user", out, "-t", "3"}, 0, ""},
        // A value that looks like an option is a missing value, never a port named "--timeout".
        {{"program", "user", file, "--port", "--timeout", "3"}, 2, "--port needs a value"},
        {{"program", "user", file, "--timeout", "--port", port}, 2, "--timeout needs a value"},
        {{"read", "user", out, "--port", port, "--timeout"}, 2, "--timeout needs a value"},
        {{"program", "user", file, "--port=--timeout"}, 3, "--timeout"},
        // An empty timeout is no number of seconds.
        {{"read", "user", out, "--port", port, "--timeout", ""}, 2, "not empty"},
        {{"log", "--port", port, "--timeout="}, 2, "--timeout"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += " '" + a + "'";
        SCOPED_TRACE(line);
        const RunResult r = RunOrlo(c.args, {"ORLO_EXTRA_PORTS="});
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        EXPECT_TRUE(Has(r.err, c.err)) << r.err;
        if (c.exit == 0 && c.args[0] == "program")
            EXPECT_EQ(device.GetDevice().ReadFlash(0x3C2000, image.size()), image);
    }
    EXPECT_EQ(ReadBytes(out).size(), 4096u);
}

TEST_F(CliTest, WhatIsNotAFileOrNotARawImageIsRefusedBeforeThePortOpens) {
    auto& device = StartDevice();
    const std::string port = device.SlavePath();
    const std::string fifo = (dir / "report.fifo").string();
    ASSERT_TRUE(::orlo::test::MakeFifo(fifo));
    const std::string hexText = ":10000000214601360121470136007EFE09D2190140\r\n:00000001FF\r\n";
    const std::string hex = WriteFile("fw.bin", Bytes(hexText.begin(), hexText.end()));
    const std::string srec = WriteFile("fw.map", {'S', '0', '0', '6', '0', '0', '0', '0', '4',
                                                  '8', '4', '4', '5', '2', '1', 'B', '\n'});
    const std::string elf = WriteFile("fw.adm", {0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0});
    const std::string raw = WriteFile("raw.bin", MakeImage(300, 2));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--report", fifo, "check", "--port", port}, 5, "it is not a regular file"},
        {{"--report", "/dev/null", "check", "--port", port}, 5, "it is not a regular file"},
        {{"program", "application", hex, "--port", port}, 2, "is an Intel HEX file"},
        {{"program", "map", srec, "--port", port}, 2, "is a Motorola S-record file"},
        {{"program", "voice", elf, "--port", port}, 2, "is an ELF file"},
        {{"check", "--port", "/dev/tty"}, 3, "(/dev/tty) is not a serial port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const RunResult r = RunOrlo(c.args, {"ORLO_EXTRA_PORTS="});
        ASSERT_FALSE(r.timedOut);  // a FIFO report no longer waits for a reader
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    }
    EXPECT_EQ(device.GetDevice().Stats().frames, 0u);
    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));

    // --force programs the container as it is; a raw image needs nothing.
    EXPECT_EQ(RunOrlo({"program", "application", hex, "--port", port, "--force"}).exitCode, 0);
    EXPECT_EQ(device.GetDevice().ReadFlash(0x3C3000, hexText.size()),
              Bytes(hexText.begin(), hexText.end()));
    EXPECT_EQ(RunOrlo({"program", "application", raw, "--port", port}).exitCode, 0);
}

TEST_F(CliTest, ALogEndsAfterItsTimeoutOfSilenceAndAReadToStandardOutputKeepsNothing) {
    auto& quiet = StartDevice();
    const RunResult log = RunOrlo({"log", "--port", quiet.SlavePath(), "--timeout", "1"});
    ASSERT_FALSE(log.timedOut);
    EXPECT_EQ(log.exitCode, 4) << log.err;
    EXPECT_TRUE(Has(log.err, "no line or frame for 1 s")) << log.err;

    // The device stops answering after two blocks: nothing reaches standard output and no
    // partial file is left in the temporary folder.
    devsim::DeviceOptions silent;
    silent.faults.silentFrame = 3;
    auto& stops = StartDevice(silent);
    const fs::path tmp = dir / "tmp";
    fs::create_directory(tmp);
    const RunResult read =
        RunOrlo({"read", "application", "-", "--port", stops.SlavePath(), "--timeout", "1"},
                {"TMPDIR=" + tmp.string()});
    ASSERT_FALSE(read.timedOut);
    EXPECT_EQ(read.exitCode, 4) << read.err;
    EXPECT_TRUE(read.out.empty());
    EXPECT_TRUE(Has(read.err, "8192 of 241664 bytes read, none written to standard output"))
        << read.err;
    EXPECT_TRUE(fs::is_empty(tmp));
}

// A production line's gang: every port named by its path, however many there are (the COM
// names end at two digits), each device's flash exactly the image.
TEST_F(CliTest, AGangOf128DevicesCompletesWithEveryFlashCorrect) {
    constexpr int kDevices = 128;
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    // Each device's pseudo-terminal here, and each port's descriptors in orlo.
    if (files.rlim_cur < 8 * kDevices) GTEST_SKIP() << "too few file descriptors allowed";
    std::vector<std::string> args = {"--progress", "none", "program", "map"};
    const Bytes image = MakeImage(2 * 4096 + 100, 9);
    args.push_back(WriteFile("gang.map", image));
    for (int i = 0; i < kDevices; ++i) {
        args.push_back("--port");
        args.push_back(StartDevice().SlavePath());
    }
    const RunResult r = RunOrlo(args, {"ORLO_EXTRA_PORTS="});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 2000);
    int correct = 0;
    for (const auto& d : devices) correct += d->GetDevice().ReadFlash(0x1F4000, image.size()) == image;
    EXPECT_EQ(correct, kDevices);
}

}  // namespace
}  // namespace orlo::cli::test
