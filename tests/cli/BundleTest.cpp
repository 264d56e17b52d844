// `orlo program` with several regions: one connection, the flash's order whatever order they
// are given, a completion per region, every device of a gang, the record of each region in the
// run database, and a failing region that ends the bundle.
#include <sstream>

#include "CliFixture.h"
#include "record/RunDatabase.h"
#include "record/Sha256.h"

namespace orlo::cli::test {
namespace {

// The command codes a port sent, in order, from the -v trace (`label`: the gang's port label).
std::vector<int> SentCodes(const std::string& trace, const std::string& label) {
    std::vector<int> codes;
    std::istringstream lines(trace);
    const std::string prefix = (label.empty() ? "" : label + ": ") + "> 0x";
    for (std::string l; std::getline(lines, l);)
        if (l.rfind(prefix, 0) == 0) codes.push_back(std::stoi(l.substr(prefix.size(), 2), nullptr, 16));
    return codes;
}

std::vector<record::RunRow> Rows(const std::string& db) {
    std::string error;
    auto reader = record::RunDatabase::Open(db, record::RunDatabase::Access::ReadOnly, &error);
    std::vector<record::RunRow> rows;
    EXPECT_TRUE(reader && reader->Runs({}, &rows, &error)) << error;
    return rows;
}

TEST_F(CliTest, BundleProgramsEveryRegionInFlashOrderOnOneConnectionOfEachDevice) {
    auto& first = StartDevice();
    auto& second = StartDevice();
    const Bytes voice = MakeImage(5000, 2), user = MakeImage(100, 4), app = MakeImage(5000, 9);
    const std::string voiceFile = WriteFile("v.adm", voice), userFile = WriteFile("u.dat", user),
                      appFile = WriteFile("a.bin", app);
    const std::string db = (dir / "station.db").string();

    // Given application first: it still goes last, after voice and user.
    const RunResult r = RunOrlo({"--json", "-v", "program", "application", appFile, "user",
                                 userFile, "voice", voiceFile, "--port", first.SlavePath(),
                                 "--port", second.SlavePath(), "--db", db});
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto events = JsonLines(r.out);
    ASSERT_EQ(Events(events, "open").size(), 2u) << r.out;  // one connection per device
    std::vector<std::string> boxes;
    for (const auto& e : Events(events, "message"))
        if (e["kind"] == "completion") boxes.push_back(e["text"]);
    for (const char* done : {"Programming completed of Voice data", "Programming completed of User data",
                             "Programming completed of Application data, and Remove Target"})
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), done), 2) << done;

    // Each step is framed by the run's check requests (0x1B): one before its first frame, one
    // before its last reply counts (for the application: before the finish frame).
    const std::vector<int> order = {0x1B, 0x20, 0x21, 0x21, 0x22, 0x22, 0x1B,
                                    0x1B, 0x40, 0x41, 0x42, 0x1B,
                                    0x1B, 0x10, 0x11, 0x11, 0x12, 0x12, 0x1B, 0x13};
    for (const auto& e : Events(events, "open")) {
        const std::string label = e["port"];
        EXPECT_EQ(SentCodes(r.err, label), order) << label << "\n" << r.err;
    }
    for (auto* sim : {&first, &second}) {
        EXPECT_EQ(sim->GetDevice().ReadFlash(0x000000, voice.size()), voice);
        EXPECT_EQ(sim->GetDevice().ReadFlash(0x3C2000, user.size()), user);
        EXPECT_EQ(sim->GetDevice().ReadFlash(0x3C3000, app.size()), app);
    }

    const auto rows = Rows(db);
    ASSERT_EQ(rows.size(), 2u);
    for (const record::RunRow& row : rows) {
        EXPECT_TRUE(row.passed) << row.message;
        ASSERT_EQ(row.regions.size(), 3u);
        EXPECT_EQ(row.regions[0].region, "voice");
        EXPECT_EQ(row.regions[0].sha256, record::FileSha256(voiceFile).value());
        EXPECT_EQ(row.regions[1].region, "user");
        EXPECT_EQ(row.regions[2].region, "application");
        EXPECT_EQ(row.regions[2].sha256, record::FileSha256(appFile).value());
        for (const auto& region : row.regions) EXPECT_EQ(region.outcome, "passed") << region.region;
        EXPECT_EQ(row.regions[1].message, "Programming completed of User data");
    }
}

TEST_F(CliTest, ARegionThatFailsEndsTheBundleAndTheRecordSaysWhatEachRegionGot) {
    devsim::DeviceOptions options;
    // Voice takes frames 1 to 5 (start, two writes, two verifies); the map's first write is
    // frame 7, refused five times: "Tx Error".
    options.faults.nakFrame = 7;
    options.faults.nakCount = 5;
    auto& sim = StartDevice(options);
    const Bytes voice = MakeImage(5000, 2);
    const std::string voiceFile = WriteFile("v.adm", voice);
    const std::string mapFile = WriteFile("m.map", MakeImage(5000, 3));
    const std::string appFile = WriteFile("a.bin", MakeImage(5000, 9));
    const std::string db = (dir / "station.db").string();

    const RunResult r = RunOrlo({"program", "voice", voiceFile, "map", mapFile, "application",
                                 appFile, "--port", sim.SlavePath(), "--db", db});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Programming completed of Voice data"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Tx Error"), std::string::npos) << r.err;
    EXPECT_EQ(sim.GetDevice().Stats().perCode[0x10], 0u);  // the application was not started
    EXPECT_EQ(sim.GetDevice().ReadFlash(0, voice.size()), voice);

    const auto rows = Rows(db);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0].passed);
    EXPECT_EQ(rows[0].naks, 5);
    EXPECT_EQ(rows[0].resends, 4);
    ASSERT_EQ(rows[0].regions.size(), 3u);
    EXPECT_EQ(rows[0].regions[0].outcome, "passed");
    EXPECT_EQ(rows[0].regions[1].outcome, "failed");
    EXPECT_EQ(rows[0].regions[1].message,
              "Tx Error (write block at flash address 0x1F4000, sent 5 times)");
    EXPECT_EQ(rows[0].message,
              "map: Tx Error (write block at flash address 0x1F4000, sent 5 times)");
    EXPECT_EQ(rows[0].regions[2].outcome, "not run");

    // A manifest whose file changed after it was written programs nothing.
    const std::string manifest = (dir / "release.json").string();
    ASSERT_EQ(RunOrlo({"manifest", "voice", voiceFile, "--output", manifest}).exitCode, 0);
    WriteFile("v.adm", MakeImage(5000, 7));
    const uint64_t framesBefore = sim.GetDevice().Stats().frames;
    const RunResult edited =
        RunOrlo({"program", "--manifest", manifest, "--port", sim.SlavePath(), "--db", db});
    EXPECT_EQ(edited.exitCode, 5);
    EXPECT_NE(edited.err.find("has SHA-256"), std::string::npos) << edited.err;
    EXPECT_EQ(sim.GetDevice().Stats().frames, framesBefore);
    EXPECT_EQ(Rows(db).size(), 1u);  // refused before the run: no row
}

}  // namespace
}  // namespace orlo::cli::test
