// `orlo program` against simulated devices on pseudo-terminals: what lands in the flash, the
// verbatim messages, the exit codes, and several devices programmed at once.
#include <algorithm>

#include "CliFixture.h"
#include "record/Sha256.h"

namespace orlo::cli::test {
namespace {

bool HasLine(const std::string& text, const std::string& line) {
    std::istringstream lines(text);
    std::string l;
    while (std::getline(lines, l))
        if (l == line) return true;
    return false;
}

// A row of the results table: the port, its result word and its message, in columns.
bool TableRow(const std::string& table, const std::string& port, const std::string& com,
              const std::string& result, const std::string& message) {
    std::istringstream lines(table);
    std::string l;
    while (std::getline(lines, l)) {
        std::istringstream words(l);
        std::string first, comName, second;
        words >> first >> comName >> second;
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (first == port) return comName == com && second == result && rest == message;
    }
    return false;
}

struct RegionCase {
    const char* name;
    uint32_t base;
    std::size_t imageSize;
    const char* completed;
};

TEST_F(CliTest, ProgramWritesEachRegionAndEndsWithItsCompletionMessage) {
    const RegionCase cases[] = {
        {"voice", 0x000000, 9000, "Programming completed of Voice data"},
        {"map", 0x1F4000, 5000, "Programming completed of Map data"},
        {"user", 0x3C2000, 3000, "Programming completed of User data"},
    };
    for (const RegionCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto& sim = StartDevice();
        // Zeros around the image show what the run wrote: the image, then 0xFF padding up to
        // the end of its last block, and nothing beyond.
        const std::size_t blocks = (c.imageSize + 4095) / 4096;
        ASSERT_TRUE(sim.GetDevice().WriteFlash(c.base, Bytes((blocks + 1) * 4096, 0x00)));
        const Bytes image = MakeImage(c.imageSize, static_cast<uint8_t>(c.base >> 12));
        const std::string file = WriteFile(std::string(c.name) + ".img", image);

        const RunResult r = RunOrlo({"program", c.name, file, "--port", sim.SlavePath()});
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(HasLine(r.out, c.completed)) << r.out;
        EXPECT_EQ(r.err, "");
        // Not a terminal: plain lines, one per 10 % step of each phase.
        EXPECT_FALSE(HasControlCharacters(r.out));
        EXPECT_NE(r.out.find(" Programming 100 %"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" Verifying 100 %"), std::string::npos) << r.out;

        const Bytes flash = sim.GetDevice().ReadFlash(c.base, (blocks + 1) * 4096);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(c.imageSize),
                                flash.begin() + static_cast<long>(blocks * 4096),
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(blocks * 4096), flash.end(),
                                [](uint8_t b) { return b == 0x00; }));
        const auto stats = sim.GetDevice().Stats();
        EXPECT_EQ(stats.naks, 0u);
        EXPECT_EQ(stats.perCode[0x13], 0u);  // only the application has a finish frame
    }
}

TEST_F(CliTest, ProgramApplicationCompletesAfterTheCountdown) {
    auto& sim = StartDevice();
    // 5000 bytes: a countdown of one second after the finish frame.
    const Bytes image = MakeImage(5000, 9);
    const std::string file = WriteFile("app.bin", image);

    const RunResult r = RunOrlo({"program", "application", file, "--port", sim.SlavePath()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The countdown's texts in the order the window shows them, then the message last.
    const auto wait = r.out.find("\napplication  Wait please");
    const auto ready = r.out.find("\napplication  Ready", wait == std::string::npos ? 0 : wait);
    const auto done = r.out.find("Programming completed of Application data, and Remove Target\n");
    EXPECT_NE(wait, std::string::npos) << r.out;
    EXPECT_NE(ready, std::string::npos) << r.out;
    EXPECT_NE(done, std::string::npos) << r.out;
    EXPECT_LT(ready, done);
    // The countdown as it is: "Ready" only once the device's second has run out, and the line
    // ends with the image's size, time and SHA-256.
    EXPECT_EQ(r.out.find("\napplication  Ready"), ready) << r.out;
    const std::string sha = record::FileSha256(file).value_or("?").substr(0, 12);
    EXPECT_NE(r.out.find("Remove Target\nProgrammed and verified 5000 bytes in "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" s; image SHA-256 " + sha + ".\n"), std::string::npos) << r.out;

    const auto stats = sim.GetDevice().Stats();
    EXPECT_EQ(stats.perCode[0x10], 1u);
    EXPECT_EQ(stats.perCode[0x11], 2u);
    EXPECT_EQ(stats.perCode[0x12], 2u);
    EXPECT_EQ(stats.perCode[0x13], 1u);
    const Bytes flash = sim.GetDevice().ReadFlash(0x3C3000, image.size());
    EXPECT_EQ(flash, image);
}

TEST_F(CliTest, ProgramFailuresShowTheWindowsMessageAndExitWithTheirCode) {
    {
        SCOPED_TRACE("too big: the user region takes 4096 bytes");
        auto& sim = StartDevice();
        const std::string file = WriteFile("big.dat", MakeImage(4097));
        const RunResult r = RunOrlo({"program", "user", file, "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, 5);
        // The window's text, then the sizes; refused before the port opens.
        EXPECT_TRUE(HasLine(r.err,
                            "Map data is too BIG!!! (file 4097 bytes, region limit 4096 "
                            "bytes)"))
            << r.err;
        EXPECT_EQ(sim.GetDevice().Stats().frames, 0u);  // nothing was sent
    }
    {
        SCOPED_TRACE("missing image file");
        auto& sim = StartDevice();
        const std::string missing = (dir / "missing.bin").string();
        const RunResult r = RunOrlo({"program", "application", missing, "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_NE(r.err.find("cannot read " + missing + ": no such file"), std::string::npos)
            << r.err;
    }
    {
        SCOPED_TRACE("NAK to the start frame");
        devsim::DeviceOptions options;
        options.faults.nakFrame = 1;
        auto& sim = StartDevice(options);
        const std::string file = WriteFile("a.map", MakeImage(5000));
        const RunResult r = RunOrlo({"program", "map", file, "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(HasLine(r.err, "Check Flash Memory please..... (start frame, sent once)"))
            << r.err;
        EXPECT_NE(r.err.find("the map region was not written, though the device may have erased "
                             "it when it took the start frame: program it again\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(sim.GetDevice().Stats().numbered, 1u);  // no resend of a start frame
    }
    {
        SCOPED_TRACE("five NAKs to a write block");
        devsim::DeviceOptions options;
        options.faults.nakFrame = 3;
        options.faults.nakCount = 5;
        auto& sim = StartDevice(options);
        const std::string file = WriteFile("v.adm", MakeImage(9000));
        const RunResult r = RunOrlo({"program", "voice", file, "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(HasLine(r.err,
                            "Tx Error (write block at flash address 0x001000, sent 5 "
                            "times)"))
            << r.err;
        const auto stats = sim.GetDevice().Stats();
        EXPECT_EQ(stats.naks, 5u);
        EXPECT_EQ(stats.perCode[0x21], 6u);  // the first write, the second and its 4 resends
        EXPECT_NE(r.err.find("the voice region is incomplete (1 of 3 blocks written, none "
                             "verified): program it again\n"),
                  std::string::npos)
            << r.err;
    }
    {
        SCOPED_TRACE("five NAKs to the first verify block");
        devsim::DeviceOptions options;
        options.faults.nakFrame = 5;
        options.faults.nakCount = 5;
        auto& sim = StartDevice(options);
        const std::string file = WriteFile("v.adm", MakeImage(9000));
        const RunResult r = RunOrlo({"program", "voice", file, "--port", sim.SlavePath()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("the voice region holds every block written, but only 0 of 3 blocks "
                             "were verified: program it again\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(CliTest, QuietProgramPrintsNothingAndStillExitsWithTheOutcome) {
    auto& sim = StartDevice();
    const std::string file = WriteFile("q.dat", MakeImage(100));
    const RunResult ok = RunOrlo({"--quiet", "program", "user", file, "--port", sim.SlavePath()});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "");
    EXPECT_EQ(ok.err, "");

    const std::string big = WriteFile("q2.dat", MakeImage(5000));
    const RunResult bad = RunOrlo({"program", "user", big, "--port", sim.SlavePath(), "-q"});
    EXPECT_EQ(bad.exitCode, 5);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Map data is too BIG!!! (file 5000 bytes, region limit 4096 bytes)\n");
}

TEST_F(CliTest, GangProgramsEveryDeviceAtOnceAndTabulatesTheResults) {
    // Paced like the real line, so that the two runs overlap for seconds, not microseconds.
    devsim::PtyOptions paced;
    paced.baud = 115200;
    auto& a = StartDevice({}, paced);
    auto& b = StartDevice({}, paced);
    const Bytes image = MakeImage(8192, 3);
    const std::string file = WriteFile("gang.adm", image);

    const RunResult r = RunOrlo(
        {"--json", "program", "voice", file, "--port", a.SlavePath(), "--port", b.SlavePath()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(a.GetDevice().ReadFlash(0, image.size()), image);
    EXPECT_EQ(b.GetDevice().ReadFlash(0, image.size()), image);

    // One event loop drives both dialogs: their progress interleaves.
    const auto events = JsonLines(r.out);
    std::vector<std::string> progressPorts;
    for (const auto& e : Events(events, "progress")) progressPorts.push_back(e["port"]);
    const auto firstB = std::find(progressPorts.begin(), progressPorts.end(), b.SlavePath());
    const auto lastA = std::find(progressPorts.rbegin(), progressPorts.rend(), a.SlavePath());
    ASSERT_NE(firstB, progressPorts.end());
    ASSERT_NE(lastA, progressPorts.rend());
    EXPECT_LT(firstB - progressPorts.begin(), progressPorts.rend() - lastA - 1);
    const auto results = Events(events, "result");
    ASSERT_EQ(results.size(), 2u);
    for (const auto& res : results) {
        EXPECT_TRUE(res["ok"].get<bool>());
        EXPECT_EQ(res["message"], "Programming completed of Voice data");
    }
}

TEST_F(CliTest, GangFailsWhenAnyDeviceFails) {
    devsim::DeviceOptions failing;
    failing.faults.nakFrame = 2;
    failing.faults.nakCount = 5;
    auto& good = StartDevice();
    auto& bad = StartDevice(failing);
    const Bytes image = MakeImage(9000, 5);
    const std::string file = WriteFile("g.map", image);

    const RunResult r =
        RunOrlo({"program", "map", file, "--port", good.SlavePath(), "--port", bad.SlavePath()},
                {"ORLO_EXTRA_PORTS="});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(good.GetDevice().ReadFlash(0x1F4000, image.size()), image);
    // Messages carry their port; the table lists every port's result.
    EXPECT_TRUE(HasLine(r.out, good.SlavePath() + ": Programming completed of Map data")) << r.out;
    const std::string txError = "Tx Error (write block at flash address 0x1F4000, sent 5 times)";
    EXPECT_TRUE(HasLine(r.err, bad.SlavePath() + ": " + txError)) << r.err;
    const auto table = r.out.find("\nPORT ");
    ASSERT_NE(table, std::string::npos) << r.out;
    // Each pseudo-terminal has a COM name of its own, in the order given.
    EXPECT_TRUE(TableRow(r.out.substr(table), good.SlavePath(), "COM80", "completed",
                         "Programming completed of Map data"))
        << r.out;
    EXPECT_TRUE(TableRow(r.out.substr(table), bad.SlavePath(), "COM81", "device-failure", txError))
        << r.out;
}

}  // namespace
}  // namespace orlo::cli::test
