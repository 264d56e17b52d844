// The service commands of `orlo` against simulated devices: read-back, check block, sweep,
// device log, test string, the port list and the bitmap converter.
#include <algorithm>
#include <thread>

#include "CliFixture.h"
#include "record/Sha256.h"

namespace orlo::cli::test {
namespace {

// "Start Time : " and the stamp YYYY:MM:DD:HH:MM:SS.
bool IsStartTimeLine(const std::string& line) {
    const std::string prefix = "Start Time : ";
    const std::string shape = "dddd:dd:dd:dd:dd:dd";
    if (line.size() != prefix.size() + shape.size() || line.rfind(prefix, 0) != 0) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = line[prefix.size() + i];
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != ':') return false;
    }
    return true;
}

// "COM" and one or two digits, the first not 0: the most the port list can show.
bool IsListableComName(const std::string& name) {
    if (name.size() < 4 || name.size() > 5 || name.rfind("COM", 0) != 0 || name[3] == '0')
        return false;
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) lines.push_back(l);
    return lines;
}

TEST_F(CliTest, ReadWritesTheWholeRegionIntoTheFile) {
    auto& sim = StartDevice();
    const Bytes user = MakeImage(4096, 4);
    const Bytes app = MakeImage(241664, 6);
    ASSERT_TRUE(sim.GetDevice().WriteFlash(0x3C2000, user));
    ASSERT_TRUE(sim.GetDevice().WriteFlash(0x3C3000, app));

    const std::string userOut = (dir / "user.dat").string();
    const RunResult r = RunOrlo({"read", "user", userOut, "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadBytes(userOut), user);
    const auto lines = Lines(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Reading completed of User Data: " + userOut),
              lines.end())
        << r.out;
    // The run's last line: bytes, time and the SHA-256 of what was read.
    EXPECT_TRUE(lines.back().starts_with("Read 4096 bytes in ")) << r.out;
    EXPECT_TRUE(lines.back().ends_with(" s; SHA-256 " +
                                       record::FileSha256(userOut).value_or("?").substr(0, 12) + "."))
        << r.out;

    // An existing file is replaced, not appended to.
    const std::string appOut = WriteFile("app.bin", Bytes(100, 0x55));
    const RunResult a = RunOrlo({"read", "application", appOut, "--port", sim.SlavePath()});
    EXPECT_EQ(a.exitCode, 0) << a.err;
    EXPECT_EQ(ReadBytes(appOut), app);
    EXPECT_NE(a.out.find("Reading completed of Application data: " + appOut + "\n"),
              std::string::npos);
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x1A], 59u);
}

TEST_F(CliTest, ReadRefusesAnOutputItCannotWrite) {
    auto& sim = StartDevice();
    const std::string out = (dir / "no" / "such" / "folder.bin").string();
    const RunResult r = RunOrlo({"read", "map", out, "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.err.find("cannot write " + out), std::string::npos) << r.err;
    EXPECT_EQ(sim.GetDevice().Stats().frames, 0u);
}

TEST_F(CliTest, CheckPrintsTheCheckBlockAsHexText) {
    auto& sim = StartDevice();
    Bytes block(16);
    for (int i = 0; i < 16; ++i) block[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i);
    block[15] = 0xAB;
    ASSERT_TRUE(sim.GetDevice().WriteFlash(0x3FE000, block));

    const RunResult r = RunOrlo({"check", "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e ab \n");
    // The check command's request, and the run's own before and after it.
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x1B], 3u);
}

TEST_F(CliTest, SweepStepsTheSettingsAndPrintsWhatWasWritten) {
    auto& sim = StartDevice();  // reports max 2000, min 1000 until the first set
    const RunResult up = RunOrlo({"sweep", "max+100", "--port", sim.SlavePath()});
    EXPECT_EQ(up.exitCode, 0) << up.err;
    EXPECT_EQ(up.out, "sweep max: 2100\nsweep min: 1000\nsweep time: 40 ms\nTm: 20000\n");
    auto s = sim.GetDevice().Sweep();
    EXPECT_EQ(s.max, 2100);
    EXPECT_EQ(s.min, 1000);
    EXPECT_EQ(s.tm, 20000);
    EXPECT_EQ(s.timeMs, 40);

    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x52], 1u);  // one set frame per action
    // Actions are taken in any letter case; the step applies to what the device reports now.
    const RunResult min = RunOrlo({"sweep", "MIN+100", "--port", sim.SlavePath()});
    EXPECT_EQ(min.exitCode, 0) << min.err;
    EXPECT_NE(min.out.find("sweep min: 1100\n"), std::string::npos) << min.out;
    EXPECT_EQ(sim.GetDevice().Sweep().min, 1100);

    const RunResult read = RunOrlo({"--json", "sweep", "read", "--port", sim.SlavePath()});
    EXPECT_EQ(read.exitCode, 0) << read.err;
    const auto sweeps = Events(JsonLines(read.out), "sweep");
    ASSERT_EQ(sweeps.size(), 1u);
    EXPECT_EQ(sweeps[0]["max"], 2100);
    EXPECT_EQ(sweeps[0]["min"], 1100);
    EXPECT_EQ(sweeps[0]["time_ms"], 40);
    EXPECT_EQ(sweeps[0]["tm"], 20000);
}

TEST_F(CliTest, LogPrintsDeviceLinesAndWritesTheWindowsLogFile) {
    auto& sim = StartDevice();
    const std::string logFile = (dir / "device.log").string();
    Child log(BinPath("orlo"),
              {"log", "--port", sim.SlavePath(), "--output", logFile, "--duration", "3"});
    ASSERT_TRUE(log.Started());
    // The device prints while the log runs; lines sent before the port is opened are lost
    // with the open's purge, so it keeps printing until the log ends.
    RunResult r;
    {
        std::atomic<bool> done{false};
        std::thread printer([&] {
            while (!done.load()) {
                sim.SendLogStart();
                sim.PrintLine("R 0A,1F,3C,7");
                sim.PrintLine("device ready");
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        r = log.Wait(kRunLimit);
        done = true;
        printer.join();
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "10,31,60,"), lines.end()) << r.out;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "device ready"), lines.end()) << r.out;
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), IsStartTimeLine)) << r.out;

    // The window's log file: every LF stored as CR LF, so a device line ends CR CR LF.
    const std::string text = ReadText(logFile);
    EXPECT_NE(text.find("10,31,60,\r\r\ndevice ready\r\r\n"), std::string::npos) << text;
    const auto stamp = text.find("Start Time : ");
    ASSERT_NE(stamp, std::string::npos) << text;
    EXPECT_TRUE(IsStartTimeLine(text.substr(stamp, 32))) << text;
    EXPECT_EQ(text.substr(stamp + 32, 2), "\r\n");
}

TEST_F(CliTest, TestTxSendsTheEightByteTestString) {
    auto& sim = StartDevice();
    const RunResult r = RunOrlo({"test-tx", "--port", sim.SlavePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The device skips unframed bytes; it may still be reading them when orlo has ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sim.GetDevice().Stats().garbageBytes < 8 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sim.GetDevice().Stats().garbageBytes, 8u);
    EXPECT_EQ(sim.GetDevice().Stats().frames, 0u);
}

TEST_F(CliTest, PortsListsEveryPortWithItsComName) {
    auto& sim = StartDevice();
    const std::string extra = "ORLO_EXTRA_PORTS=" + sim.SlavePath();
    const RunResult r = RunOrlo({"ports"}, {extra});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    bool found = false;
    const auto lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("COM    DEVICE", 0), 0u) << lines[0];  // the heading
    for (const auto& line : std::vector<std::string>(lines.begin() + 1, lines.end())) {
        std::istringstream words(line);
        std::string com, path;
        words >> com >> path;
        if (path == sim.SlavePath()) {
            found = true;
            EXPECT_EQ(com, "COM80");
        }
        EXPECT_TRUE(IsListableComName(com)) << line;
    }
    EXPECT_TRUE(found) << r.out;

    const RunResult j = RunOrlo({"--json", "ports"}, {extra});
    EXPECT_EQ(j.exitCode, 0);
    const auto ports = Events(JsonLines(j.out), "port");
    EXPECT_TRUE(std::any_of(ports.begin(), ports.end(), [&](const nlohmann::json& p) {
        return p["com"] == "COM80" && p["path"] == sim.SlavePath();
    })) << j.out;

    // A COM name from the table is as good as the path.
    const RunResult byName = RunOrlo({"check", "--port", "COM80"}, {extra});
    EXPECT_EQ(byName.exitCode, 0) << byName.err;
    EXPECT_EQ(byName.out.size(), 49u) << byName.out;
}

// A bitmap with the 14-byte file header, the 40-byte information header, two colour-table
// entries and the given stored rows (bottom row first).
Bytes Bitmap(uint32_t width, uint32_t height, uint16_t bits, const Bytes& entry1,
             const std::vector<Bytes>& rows) {
    Bytes pixels;
    for (const auto& r : rows) pixels.insert(pixels.end(), r.begin(), r.end());
    Bytes b;
    auto u16 = [&](uint32_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    b.push_back('B');
    b.push_back('M');
    u32(62 + static_cast<uint32_t>(pixels.size()));
    u32(0);
    u32(62);
    u32(40);
    u32(width);
    u32(height);
    u16(1);
    u16(bits);
    for (int i = 0; i < 6; ++i) u32(0);
    u32(0);  // colour-table entry 0
    b.insert(b.end(), entry1.begin(), entry1.end());
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

TEST_F(CliTest, Bmp2hWritesTheHeaderBesideTheBitmap) {
    const Bytes white = {0xFF, 0xFF, 0xFF, 0x00};
    const std::string arrow =
        WriteFile("arrow.bmp", Bitmap(16, 2, 1, white, {{0x80, 0x01, 0, 0}, {0xF0, 0x0F, 0, 0}}));
    const RunResult r = RunOrlo({"bmp2h", "--bits", "1", arrow});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadText(dir / "arrow.h"),
              "const unsigned char arrow[] = {\r\n0xf0,0x0f,\r\n0xfe,0x7f};");
    EXPECT_EQ(r.out, "Wrote " + (dir / "arrow.h").string() + ".\n");

    // A bit count the converter does not expect is a warning; the header is still written.
    const std::string eight =
        WriteFile("eight.bmp", Bitmap(16, 2, 8, white, {{0x80, 0x01, 0, 0}, {0xF0, 0x0F, 0, 0}}));
    const RunResult w = RunOrlo({"bmp2h", "--bits", "1", eight});
    EXPECT_EQ(w.exitCode, 0) << w.err;
    EXPECT_EQ(w.err, "Incorrect Mono\n");
    EXPECT_TRUE(fs::exists(dir / "eight.h"));
}

TEST_F(CliTest, Bmp2hFailsWithoutAHeaderWhenTheBitmapIsBad) {
    const std::string bad = WriteFile("bad.bmp", Bytes{'P', 'K', 3, 4, 0, 0, 0, 0});
    const RunResult r = RunOrlo({"bmp2h", "--bits", "4", bad});
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.err, "Invalid BMP Format\n");
    EXPECT_FALSE(fs::exists(dir / "bad.h"));

    const RunResult missing = RunOrlo({"bmp2h", "--bits", "1", (dir / "none.bmp").string()});
    EXPECT_EQ(missing.exitCode, 5);
    EXPECT_NE(missing.err.find("none.bmp: no such file"), std::string::npos) << missing.err;

    const RunResult notBmp = RunOrlo({"bmp2h", "--bits", "1", (dir / "logo.png").string()});
    EXPECT_EQ(notBmp.exitCode, 2);
    EXPECT_NE(notBmp.err.find("does not end in .bmp"), std::string::npos) << notBmp.err;
}

}  // namespace
}  // namespace orlo::cli::test
