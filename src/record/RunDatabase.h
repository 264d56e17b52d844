// The record of every finished device run: one row of table `runs` in an SQLite database per
// run, written in one transaction when the run ends. The database runs in write-ahead-log mode
// with full syncs, so a station that is killed loses no row it finished, and other programs
// (`orlo history`, a spreadsheet) may read while a station writes. The schema carries a version
// (PRAGMA user_version) so later releases can migrate it; docs/STATION.md describes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "record/Bundle.h"

struct sqlite3;

namespace orlo::record {

using TimePoint = std::chrono::system_clock::time_point;

// The schema this version writes and reads.
constexpr int kDatabaseSchema = 1;

// One region of a run.
struct RegionRun {
    std::string region;   // "voice", "map", "user", "application"
    std::string file;     // the image's path
    std::string sha256;   // of the image's bytes
    std::string outcome;  // "passed", "failed", or "not run" (after a region that failed)
    std::string message;  // the completion text, or why the region failed
};

// What one region of a run came to, in programming order.
struct RegionResult {
    bool passed = false;
    std::string message;
};
// The `regions` of a row: each image of `bundle` with its result; `results` holds the regions
// carried out, in order, and the ones after them were "not run".
std::vector<RegionRun> RegionRuns(const Bundle& bundle, const std::vector<RegionResult>& results);

struct RunRow {
    int64_t id = 0;  // given by the database
    TimePoint start{};
    TimePoint end{};
    std::string host;  // empty when inserted: this computer's name
    std::string slot;  // the station's slot (for `orlo program`: the port as given)
    std::string port;  // the device path
    std::string usbVendor, usbProduct, usbSerial;  // hex ids and serial number; empty: unknown
    std::string manifestName, manifestSha256;      // empty when not from a manifest
    std::string toolVersion;                       // the program that wrote the row
    std::vector<RegionRun> regions;
    int64_t naks = 0;     // NAKs the device sent
    int64_t resends = 0;  // frames sent again
    bool passed = false;  // every region completed
    std::string message;  // the sentence that ends the run
};

// Runs and passes of one slot or one manifest.
struct Yield {
    std::string key;     // the slot, or the manifest's name (empty: no manifest)
    std::string detail;  // the manifest's SHA-256
    int64_t runs = 0;
    int64_t passed = 0;
};

struct RunQuery {
    std::optional<TimePoint> since;  // runs that ended at or after this time
    bool failedOnly = false;
    bool newestFirst = false;
    int limit = 0;  // 0: every run
};

class RunDatabase {
  public:
    enum class Access {
        ReadWrite,  // created (with its schema) when missing; migrated to this version
        ReadOnly,   // must exist; never changed
    };

    // $XDG_STATE_HOME/orlo/station.db (~/.local/state/orlo/station.db); on Windows
    // %LOCALAPPDATA%\orlo\station.db.
    static std::string DefaultPath();

    // Opens the database at `path`; `createFolder` makes its folder when missing (the default
    // place), otherwise a missing folder is refused. For writing, the database is tried for
    // its write lock at once, so a read-only file, a full or locked database is refused before
    // any run begins. nullptr, with the sentence why in `error`, when it cannot be used.
    static std::unique_ptr<RunDatabase> Open(const std::string& path, Access access,
                                             std::string* error, bool createFolder = false);
    ~RunDatabase();
    RunDatabase(const RunDatabase&) = delete;
    RunDatabase& operator=(const RunDatabase&) = delete;

    const std::string& Path() const { return m_path; }

    // Writes one finished run in one transaction; waits up to 5 s for another writer. Empty
    // on success, else the sentence why the row was not written. Safe from any thread.
    std::string Insert(const RunRow& run);

    // The runs the query selects, oldest first unless `newestFirst`. False, with the sentence
    // in `error`, when the database cannot be read.
    bool Runs(const RunQuery& query, std::vector<RunRow>* rows, std::string* error);
    // Runs and passes since `since` (every run when nullopt): in all, per slot (by name), and
    // per manifest (latest used first).
    bool Totals(std::optional<TimePoint> since, Yield* totals, std::string* error);
    bool YieldBySlot(std::optional<TimePoint> since, std::vector<Yield>* yields, std::string* error);
    bool YieldByManifest(std::optional<TimePoint> since, std::vector<Yield>* yields,
                         std::string* error);

  private:
    RunDatabase(std::string path, sqlite3* db) : m_path(std::move(path)), m_db(db) {}
    std::string Problem(const std::string& doing) const;
    bool Yields(const char* sql, std::optional<TimePoint> since, std::vector<Yield>* yields,
                std::string* error);

    std::string m_path;
    sqlite3* m_db;
    bool m_empty = false;  // opened read-only before any schema was written: no runs
    std::mutex m_mutex;    // one statement at a time on the connection
};

// "2026-12-08T03:01:02.123Z": how the database keeps times (UTC, milliseconds), so they sort
// as text.
std::string IsoUtc(TimePoint when);
// The time of such a text (the fraction and the Z may be left out); nullopt when it is not one.
std::optional<TimePoint> ParseIsoUtc(const std::string& text);
// A --since value: a UTC date or time (2026-12-08, 2026-12-08T14:00, 2026-12-08 14:00:05Z) or a
// time before `now` (90s, 30m, 12h, 7d). nullopt with the sentence why in `error`.
std::optional<TimePoint> ParseSince(const std::string& text, TimePoint now, std::string* error);

// This computer's name (posix/ or win32/Places.cpp).
std::string HostName();

}  // namespace orlo::record
