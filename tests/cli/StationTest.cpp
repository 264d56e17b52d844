// `orlo station` over a slots folder, with simulated devices plugged and pulled by the test:
// devices that pass, refuse and are pulled mid-run, one run per plug, --count and Ctrl+C.
#include <signal.h>

#include <thread>

#include "CliFixture.h"
#include "record/RunDatabase.h"

namespace orlo::cli::test {
namespace {

using namespace std::chrono_literals;

class StationCliTest : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        slots = dir / "slots";
        fs::create_directories(slots);
        voice = WriteFile("voice.adm", MakeImage(3 * 4096 + 100));
    }
    // A fresh device plugged into `slot` (the link is made once it serves).
    devsim::PtyDevice& Plug(const std::string& slot, devsim::DeviceOptions device = {},
                            uint32_t baud = 0) {
        devsim::PtyOptions pty;
        pty.linkPath = (slots / slot).string();
        pty.baud = baud;
        return StartDevice(std::move(device), pty);
    }
    std::vector<std::string> StationArgs(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--json", "station", "voice", voice, "--slots-dir",
                                         slots.string(), "--timeout", "5", "--db", Db()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // Of the complete lines so far: a running station may be in the middle of one.
    static std::map<std::string, nlohmann::json> FinishedBySlot(const std::string& out) {
        std::map<std::string, nlohmann::json> by;
        const std::string lines = out.substr(0, out.rfind('\n') + 1);
        for (const auto& j : Events(JsonLines(lines), "finished")) by[j["slot"]] = j;
        return by;
    }

    std::string Db() const { return (dir / "station.db").string(); }
    std::vector<record::RunRow> Rows() {
        std::string error;
        auto db = record::RunDatabase::Open(Db(), record::RunDatabase::Access::ReadOnly, &error);
        std::vector<record::RunRow> rows;
        EXPECT_TRUE(db && db->Runs({}, &rows, &error)) << error;
        return rows;
    }

    fs::path slots;
    std::string voice;
};

TEST_F(StationCliTest, DevicesThatPassFailOrArePulledAreEachRunOncePerPlug) {
    devsim::PtyDevice& good = Plug("a");
    devsim::DeviceOptions refusing;
    refusing.faults.nakFrame = 2;  // the first write block, until the tool gives up
    refusing.faults.nakCount = 5;
    Plug("b", refusing);
    // Pulled after its second block: paced, so the test sees the run under way.
    devsim::PtyDevice& pulled = Plug("c", {}, 115200);

    Child station(BinPath("orlo"), StationArgs({"--count", "4"}));
    for (int i = 0; i < 500 && pulled.GetDevice().Stats().perCode[0x21] < 2; ++i)
        std::this_thread::sleep_for(10ms);
    pulled.Stop();  // the link goes, then the line
    ASSERT_TRUE(station.WaitForOutput("\"slot\":\"c\"", 20s));
    for (int i = 0; i < 300 && FinishedBySlot(station.Out()).size() < 3; ++i) {
        station.Drain();
        std::this_thread::sleep_for(10ms);
    }
    // Still plugged, well past its settle: "a" is not programmed a second time.
    std::this_thread::sleep_for(1500ms);
    station.Drain();
    EXPECT_EQ(FinishedBySlot(station.Out()).size(), 3u) << station.Out();
    EXPECT_EQ(good.GetDevice().Stats().perCode[0x20], 1u);

    // Unplugged and plugged again: a new device, run once more; the fourth ends the station.
    good.Stop();
    std::this_thread::sleep_for(300ms);
    devsim::PtyDevice& again = Plug("a");
    const RunResult r = station.Wait(60s);
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(again.Flash().at(3 * 4096 + 99), MakeImage(3 * 4096 + 100).back());

    const auto all = JsonLines(r.out);
    const auto finished = Events(all, "finished");
    ASSERT_EQ(finished.size(), 4u) << r.out;
    const auto by = FinishedBySlot(r.out);
    EXPECT_EQ(by.at("a")["outcome"], "passed");
    EXPECT_EQ(by.at("b")["outcome"], "failed");
    EXPECT_EQ(by.at("b")["reason"], "Tx Error");
    EXPECT_EQ(by.at("c")["outcome"], "failed");
    EXPECT_FALSE(by.at("c")["abandoned"].get<bool>());
    int passedA = 0;
    for (const auto& f : finished) passedA += f["slot"] == "a" && f["outcome"] == "passed";
    EXPECT_EQ(passedA, 2);
    const auto end = Events(all, "end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0]["passed"], 2);
    EXPECT_EQ(end[0]["failed"], 2);
    EXPECT_FALSE(HasControlCharacters(r.out));

    // One row a device, in the order they finished, each naming its slot, port and region.
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    std::map<std::string, int> passedBySlot, failedBySlot;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const record::RunRow& row = rows[i];
        EXPECT_EQ(row.slot, finished[i]["slot"]);
        (row.passed ? passedBySlot : failedBySlot)[row.slot]++;
        ASSERT_EQ(row.regions.size(), 1u);
        EXPECT_EQ(row.regions[0].region, "voice");
        EXPECT_EQ(row.regions[0].outcome, row.passed ? "passed" : "failed");
        EXPECT_EQ(row.regions[0].file, voice);
        EXPECT_EQ(row.regions[0].sha256.size(), 64u);
        EXPECT_EQ(row.port.rfind("/dev/pts/", 0), 0u) << row.port;
        EXPECT_GE(row.end, row.start);
        if (row.slot == "b") {
            EXPECT_EQ(row.naks, 5);
            EXPECT_EQ(row.resends, 4);
            EXPECT_NE(row.message.find("Tx Error"), std::string::npos) << row.message;
        }
    }
    EXPECT_EQ(passedBySlot, (std::map<std::string, int>{{"a", 2}}));
    EXPECT_EQ(failedBySlot, (std::map<std::string, int>{{"b", 1}, {"c", 1}}));
}

TEST_F(StationCliTest, ABundleGoesOntoEachDeviceOnOneConnectionApplicationLast) {
    const Bytes mapImage = MakeImage(5000, 2), appImage = MakeImage(9000, 3);
    const std::string map = WriteFile("m.map", mapImage), app = WriteFile("a.bin", appImage);
    devsim::PtyDevice& device = Plug("a");
    const RunResult r = RunOrlo({"--json", "station", "application", app, "voice", voice, "map",
                                 map, "--slots-dir", slots.string(), "--count", "1", "--db", Db()},
                                {}, 60s);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto stats = device.GetDevice().Stats();
    EXPECT_EQ(stats.perCode[0x20], 1u);
    EXPECT_EQ(stats.perCode[0x30], 1u);
    EXPECT_EQ(stats.perCode[0x10], 1u);
    EXPECT_EQ(stats.perCode[0x13], 1u);
    const Bytes flash = device.Flash();
    EXPECT_TRUE(std::equal(mapImage.begin(), mapImage.end(), flash.begin() + 0x1F4000));
    EXPECT_TRUE(std::equal(appImage.begin(), appImage.end(), flash.begin() + 0x3C3000));
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    std::vector<std::string> order;
    for (const auto& region : rows[0].regions) {
        order.push_back(region.region);
        EXPECT_EQ(region.outcome, "passed");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"voice", "map", "application"}));
}

// A quality-control line: each device is compared with the images, nothing is written, and a
// device whose map differs fails on record with the region that differs.
TEST_F(StationCliTest, VerifyComparesEachDeviceAndRecordsWhatDiffers) {
    const Bytes voiceImage = MakeImage(3 * 4096 + 100), mapImage = MakeImage(5000, 2);
    const std::string map = WriteFile("m.map", mapImage);
    devsim::PtyDevice& good = Plug("a");
    devsim::PtyDevice& bad = Plug("b");
    for (devsim::PtyDevice* d : {&good, &bad}) {
        ASSERT_TRUE(d->GetDevice().WriteFlash(0, voiceImage));
        ASSERT_TRUE(d->GetDevice().WriteFlash(0x1F4000, mapImage));
    }
    ASSERT_TRUE(bad.GetDevice().WriteFlash(0x1F4000 + 4500, {0x00}));
    const RunResult r = RunOrlo({"--json", "station", "--verify", "voice", voice, "map", map,
                                 "--slots-dir", slots.string(), "--count", "2", "--db", Db()},
                                {}, 60s);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const auto by = FinishedBySlot(r.out);
    ASSERT_EQ(by.size(), 2u) << r.out;
    EXPECT_EQ(by.at("a")["outcome"], "passed");
    EXPECT_EQ(by.at("b")["outcome"], "failed");
    EXPECT_EQ(by.at("b")["reason"],
              "1 of 2 blocks differ; the first difference is at 0x1F5194 (region offset 0x001194)");
    for (devsim::PtyDevice* d : {&good, &bad}) {
        EXPECT_EQ(d->GetDevice().Stats().perCode[0x20] + d->GetDevice().Stats().perCode[0x31], 0u);
        EXPECT_EQ(d->GetDevice().Stats().perCode[0x3A], 2u);
    }
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.regions.size(), 2u);
        EXPECT_EQ(row.regions[0].outcome, "passed");
        EXPECT_EQ(row.regions[1].outcome, row.slot == "a" ? "passed" : "failed") << row.slot;
    }
}

TEST_F(StationCliTest, CtrlCLetsRunningDevicesFinishAndASecondOneAbandonsThem) {
    for (const bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "twice" : "once");
        devices.clear();
        fs::remove_all(slots);
        fs::create_directories(slots);
        Plug("a", {}, 115200);  // about 3 s of line time
        Child station(BinPath("orlo"), StationArgs({}));
        ASSERT_TRUE(station.WaitForOutput("\"event\":\"progress\"", 20s)) << station.Err();
        station.Signal(SIGINT);
        ASSERT_TRUE(station.WaitForOutput("\"event\":\"stopping\"", 10s));
        Plug("b");  // comes after the first Ctrl+C: never taken
        if (twice) {
            std::this_thread::sleep_for(200ms);
            station.Signal(SIGINT);
        }
        const RunResult r = station.Wait(60s);
        ASSERT_FALSE(r.timedOut);
        const auto finished = Events(JsonLines(r.out), "finished");
        ASSERT_EQ(finished.size(), 1u) << r.out;
        EXPECT_EQ(finished[0]["slot"], "a");
        EXPECT_EQ(finished[0]["outcome"], twice ? "failed" : "passed");
        EXPECT_EQ(finished[0]["abandoned"].get<bool>(), twice);
        EXPECT_EQ(r.exitCode, twice ? 130 : 0) << r.err;
        EXPECT_EQ(devices.back()->GetDevice().Stats().frames, 0u) << "b was programmed";
        const auto rows = Rows();
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.back().passed, !twice);
        if (twice) {
            EXPECT_EQ(rows.back().message, "voice: abandoned by the operator");
            EXPECT_EQ(rows.back().regions.at(0).outcome, "failed");
        }
    }
}

TEST_F(StationCliTest, UsageAndImagesAreCheckedBeforeAnySlotIsWatched) {
    const std::string manifest = WriteFile(
        "release.json", [] {
            const std::string doc = R"({"schema": 1, "name": "r1", "images": [{"region": "voice",
                "file": "voice.adm", "sha256": ")" + std::string(64, '0') + R"("}]})";
            return Bytes(doc.begin(), doc.end());
        }());
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* says;
    } cases[] = {
        {{"station", "voice", voice}, 2, "give either --match"},
        {{"station", "voice", voice, "--slots-dir", slots.string(), "--match", "0403:6001"}, 2,
         "give either --match"},
        {{"station", "voice", voice, "voice", voice, "--slots-dir", slots.string()}, 5,
         "given twice"},
        {{"station", "flash", voice, "--slots-dir", slots.string()}, 5, "is not a region"},
        {{"station", "voice", (dir / "none.adm").string(), "--slots-dir", slots.string()}, 5,
         "no such file"},
        {{"station", "voice", voice, "--match", "0403"}, 2, "VID:PID"},
        {{"station", "voice", voice, "--match", "COM3"}, 2, "COM names are for Windows"},
        {{"station", "--manifest", manifest, "--slots-dir", slots.string()}, 5, "SHA-256"},
        {{"station", "voice", voice, "--slots-dir", (dir / "nowhere").string()}, 3,
         "no such folder"},
    };
    for (Case& c : cases) {
        c.args.insert(c.args.end(), {"--db", Db()});
        const RunResult r = RunOrlo(c.args, {}, 20s);
        EXPECT_EQ(r.exitCode, c.exit) << c.args[c.args.size() - 3] << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace orlo::cli::test
