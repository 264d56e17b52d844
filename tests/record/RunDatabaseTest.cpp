// The run database: every field of a row comes back as written, the history's sums, --since,
// and the databases that are refused before a run begins.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "record/RunDatabase.h"
#include "support/TestSystem.h"

namespace orlo::record {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

class RunDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = test::MakeTempDir("orlo-rundb");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    static RunRow Row(const std::string& slot, bool passed, TimePoint end,
                      const std::string& manifest = "") {
        RunRow row;
        row.start = end - seconds(700);
        row.end = end;
        row.slot = slot;
        row.port = "/dev/ttyUSB" + slot;
        row.manifestName = manifest;
        row.manifestSha256 = manifest.empty() ? "" : std::string(64, 'c');
        row.passed = passed;
        row.message = passed ? "Programming completed of Application data, and Remove Target"
                             : "Tx Error";
        return row;
    }

    fs::path m_dir;
};

TEST_F(RunDatabaseTest, RowsComeBackAsWrittenAndSumIntoYields) {
    std::string error;
    auto db = RunDatabase::Open(Path("new/station.db"), RunDatabase::Access::ReadWrite, &error, true);
    ASSERT_TRUE(db) << error;

    const TimePoint t0 = sys_days(year{2026} / 12 / 8) + hours(3);
    RunRow full = Row("1", false, t0, "release-4.2");
    full.host = "bench-7";
    full.usbVendor = "0403";
    full.usbProduct = "6001";
    full.usbSerial = "A50285BI";
    full.toolVersion = "1.0.0";
    full.naks = 5;
    full.resends = 4;
    full.regions = {{"voice", "/r/voice.adm", std::string(64, 'a'), "passed",
                     "Programming completed of Voice data"},
                    {"application", "/r/app.bin", std::string(64, 'b'), "failed", "Tx Error"}};
    ASSERT_EQ(db->Insert(full), "");
    ASSERT_EQ(db->Insert(Row("1", true, t0 + minutes(15), "release-4.2")), "");
    ASSERT_EQ(db->Insert(Row("2", true, t0 + minutes(20))), "");
    ASSERT_EQ(db->Insert(Row("2", true, t0 - hours(30), "release-4.1")), "");

    std::vector<RunRow> rows;
    ASSERT_TRUE(db->Runs({std::nullopt, true, false, 0}, &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    const RunRow& back = rows[0];
    EXPECT_EQ(IsoUtc(back.start), "2026-12-08T02:48:20.000Z");
    EXPECT_EQ(back.end, full.end);
    EXPECT_EQ(back.host, "bench-7");
    EXPECT_EQ(back.slot, "1");
    EXPECT_EQ(back.port, "/dev/ttyUSB1");
    EXPECT_EQ(back.usbVendor + ":" + back.usbProduct + ":" + back.usbSerial, "0403:6001:A50285BI");
    EXPECT_EQ(back.manifestName, "release-4.2");
    EXPECT_EQ(back.manifestSha256, std::string(64, 'c'));
    EXPECT_EQ(back.naks, 5);
    EXPECT_EQ(back.resends, 4);
    EXPECT_FALSE(back.passed);
    EXPECT_EQ(back.message, "Tx Error");
    EXPECT_EQ(back.toolVersion, "1.0.0");
    ASSERT_EQ(back.regions.size(), 2u);
    EXPECT_EQ(back.regions[1].region, "application");
    EXPECT_EQ(back.regions[1].file, "/r/app.bin");
    EXPECT_EQ(back.regions[1].sha256, std::string(64, 'b'));
    EXPECT_EQ(back.regions[1].outcome, "failed");
    EXPECT_EQ(back.regions[0].message, "Programming completed of Voice data");

    // The yield since a day before t0 leaves out the run of the day before.
    const std::optional<TimePoint> since = t0 - hours(24);
    Yield totals;
    ASSERT_TRUE(db->Totals(since, &totals, &error)) << error;
    EXPECT_EQ(totals.runs, 3);
    EXPECT_EQ(totals.passed, 2);
    std::vector<Yield> slots, manifests;
    ASSERT_TRUE(db->YieldBySlot(since, &slots, &error));
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_EQ(slots[0].key + " " + std::to_string(slots[0].passed) + "/" + std::to_string(slots[0].runs), "1 1/2");
    EXPECT_EQ(slots[1].key + " " + std::to_string(slots[1].passed) + "/" + std::to_string(slots[1].runs), "2 1/1");
    ASSERT_TRUE(db->YieldByManifest(std::nullopt, &manifests, &error));
    ASSERT_EQ(manifests.size(), 3u);  // latest used first: none, 4.2, 4.1
    EXPECT_EQ(manifests[0].key, "");
    EXPECT_EQ(manifests[1].key, "release-4.2");
    EXPECT_EQ(manifests[1].runs, 2);
    EXPECT_EQ(manifests[2].key, "release-4.1");

    // Reopened read-only by another connection: the same rows, in WAL mode.
    auto reader = RunDatabase::Open(Path("new/station.db"), RunDatabase::Access::ReadOnly, &error);
    ASSERT_TRUE(reader) << error;
    ASSERT_TRUE(reader->Runs({}, &rows, &error));
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows.front().slot, "2");  // oldest first
}

TEST_F(RunDatabaseTest, UnusableDatabasesAreRefusedWithASentence) {
    std::string error;
    auto refused = [&](const std::string& path, RunDatabase::Access access) {
        error.clear();
        return RunDatabase::Open(path, access, &error) == nullptr;
    };
    EXPECT_TRUE(refused(Path("none/station.db"), RunDatabase::Access::ReadWrite));
    EXPECT_EQ(error, "cannot use the run database " + Path("none/station.db") +
                         ": no such directory " + Path("none"));
    EXPECT_TRUE(refused(Path("absent.db"), RunDatabase::Access::ReadOnly));
    EXPECT_EQ(error, "there is no run database " + Path("absent.db") +
                         " (orlo station, and orlo program with --db, write one)");
    fs::create_directory(m_dir / "folder.db");
    EXPECT_TRUE(refused(Path("folder.db"), RunDatabase::Access::ReadWrite));
    EXPECT_EQ(error, "cannot use the run database " + Path("folder.db") + ": it is a directory");

    // Another program's database, and one of a later schema.
    auto raw = [&](const std::string& name, const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path(name).c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    raw("other.db", "CREATE TABLE notes (t TEXT)");
    EXPECT_TRUE(refused(Path("other.db"), RunDatabase::Access::ReadWrite));
    EXPECT_EQ(error, "cannot use the run database " + Path("other.db") +
                         ": it is an SQLite database of some other program (it has tables but no "
                         "orlo schema)");
    raw("later.db", "CREATE TABLE runs (id INTEGER); PRAGMA user_version = 2");
    EXPECT_TRUE(refused(Path("later.db"), RunDatabase::Access::ReadOnly));
    EXPECT_EQ(error, "cannot use the run database " + Path("later.db") +
                         ": it was written by a newer orlo (schema 2; this one knows schema 1)");
}

TEST(RunTimes, SinceTakesUtcTimesAndSpansBackFromNow) {
    const TimePoint now = sys_days(year{2026} / 12 / 8) + hours(12);
    std::string error;
    struct Case {
        const char* text;
        const char* iso;  // nullptr: refused
    };
    const Case cases[] = {
        {"2026-12-08", "2026-12-08T00:00:00.000Z"},
        {"2026-12-08T14:05", "2026-12-08T14:05:00.000Z"},
        {"2026-12-08 14:05:09Z", "2026-12-08T14:05:09.000Z"},
        {"2026-12-08T14:05:09.250Z", "2026-12-08T14:05:09.250Z"},
        {"90s", "2026-12-08T11:58:30.000Z"},
        {"30m", "2026-12-08T11:30:00.000Z"},
        {"12h", "2026-12-08T00:00:00.000Z"},
        {"7d", "2026-12-01T12:00:00.000Z"},
        {"2026-02-30", nullptr},
        {"yesterday", nullptr},
        {"-5m", nullptr},
        {"5w", nullptr},
    };
    for (const Case& c : cases) {
        const auto when = ParseSince(c.text, now, &error);
        if (c.iso == nullptr) {
            EXPECT_FALSE(when) << c.text;
        } else {
            ASSERT_TRUE(when) << c.text << ": " << error;
            EXPECT_EQ(IsoUtc(*when), c.iso) << c.text;
        }
    }
}

}  // namespace
}  // namespace orlo::record
