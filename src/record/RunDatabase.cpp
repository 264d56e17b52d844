#include "record/RunDatabase.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "app/OutputFile.h"

namespace orlo::record {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// How long a write waits for another program's lock before the row is given up.
constexpr int kBusyTimeoutMs = 5000;

// Version 1 of the schema. docs/STATION.md describes every column.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE runs (
  id              INTEGER PRIMARY KEY,
  start_utc       TEXT NOT NULL,
  end_utc         TEXT NOT NULL,
  host            TEXT NOT NULL,
  slot            TEXT NOT NULL,
  port            TEXT NOT NULL,
  usb_vendor      TEXT,
  usb_product     TEXT,
  usb_serial      TEXT,
  manifest_name   TEXT,
  manifest_sha256 TEXT,
  regions         TEXT NOT NULL,
  naks            INTEGER NOT NULL,
  resends         INTEGER NOT NULL,
  duration_s      REAL NOT NULL,
  outcome         TEXT NOT NULL CHECK (outcome IN ('passed', 'failed')),
  message         TEXT NOT NULL,
  tool_version    TEXT
);
CREATE INDEX runs_by_end ON runs (end_utc);
PRAGMA user_version = 1;
)sql";

constexpr const char* kRunColumns =
    "id, start_utc, end_utc, host, slot, port, usb_vendor, usb_product, usb_serial, "
    "manifest_name, manifest_sha256, regions, naks, resends, outcome, message, tool_version";

// A prepared statement, finalised when it goes out of scope.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return m_rc == SQLITE_OK; }
    sqlite3_stmt* get() const { return m_stmt; }
    void Text(int index, const std::string& value) {
        sqlite3_bind_text(m_stmt, index, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    }
    // Empty texts are stored as NULL: "not known".
    void TextOrNull(int index, const std::string& value) {
        if (value.empty())
            sqlite3_bind_null(m_stmt, index);
        else
            Text(index, value);
    }
    std::string Column(int index) const {
        const unsigned char* text = sqlite3_column_text(m_stmt, index);
        return text ? reinterpret_cast<const char*>(text) : std::string();
    }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_ERROR;
};

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int IntOf(sqlite3* db, const char* sql) {
    Statement s(db, sql);
    if (!s.Ok() || sqlite3_step(s.get()) != SQLITE_ROW) return -1;
    return sqlite3_column_int(s.get(), 0);
}

std::string RegionsJson(const std::vector<RegionRun>& regions) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RegionRun& r : regions)
        list.push_back({{"region", r.region},
                        {"file", r.file},
                        {"sha256", r.sha256},
                        {"outcome", r.outcome},
                        {"message", r.message}});
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<RegionRun> RegionsOf(const std::string& text) {
    std::vector<RegionRun> regions;
    const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
    if (!list.is_array()) return regions;
    for (const auto& r : list) {
        if (!r.is_object()) continue;
        auto field = [&r](const char* name) {
            const auto it = r.find(name);
            return it != r.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        regions.push_back(
            {field("region"), field("file"), field("sha256"), field("outcome"), field("message")});
    }
    return regions;
}

std::string SinceText(std::optional<TimePoint> since) {
    return since ? IsoUtc(*since) : std::string();
}

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// SQLite's URI of a file name: "file:" and the path with the characters URIs reserve
// escaped; `immutable` tells SQLite that nobody changes the file while it is open.
std::string FileUri(const std::string& path, bool immutable) {
    std::string uri = "file:";
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '%' || c == '?' || c == '#' || u < 0x20) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", u);
            uri += escaped;
        } else {
            uri += c == '\\' ? '/' : c;
        }
    }
    return uri + (immutable ? "?immutable=1" : "");
}

// The write-ahead log beside `file` holds no rows (it is missing or empty).
bool WalIsEmpty(const fs::path& file) {
    std::error_code ec;
    const fs::path wal = fs::path(file.native() + fs::path("-wal").native());
    return !fs::exists(wal, ec) || fs::file_size(wal, ec) == 0;
}

}  // namespace

std::vector<RegionRun> RegionRuns(const Bundle& bundle, const std::vector<RegionResult>& results) {
    std::vector<RegionRun> regions;
    for (std::size_t i = 0; i < bundle.images.size(); ++i) {
        const BundleImage& image = bundle.images[i];
        RegionRun r{std::string(Region(image.region).word), image.path, image.sha256, "not run", {}};
        if (i < results.size()) {
            r.outcome = results[i].passed ? "passed" : "failed";
            r.message = results[i].message;
        }
        regions.push_back(std::move(r));
    }
    return regions;
}

std::string IsoUtc(TimePoint when) {
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return text;
}

std::optional<TimePoint> ParseIsoUtc(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    std::size_t at = 0;
    auto number = [&](int digits, int* out) {
        if (at + static_cast<std::size_t>(digits) > text.size()) return false;
        int value = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = text[at++];
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            value = value * 10 + (c - '0');
        }
        *out = value;
        return true;
    };
    auto take = [&](char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    };
    if (!number(4, &y) || !take('-') || !number(2, &mo) || !take('-') || !number(2, &d))
        return std::nullopt;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!number(2, &h) || !take(':') || !number(2, &mi)) return std::nullopt;
        if (take(':')) {
            if (!number(2, &s)) return std::nullopt;
            if (take('.') && !number(3, &ms)) return std::nullopt;
        }
    }
    take('Z');
    if (at != text.size()) return std::nullopt;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    return TimePoint(sys_days(date) + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms));
}

std::optional<TimePoint> ParseSince(const std::string& text, TimePoint now, std::string* error) {
    if (const auto when = ParseIsoUtc(text)) return when;
    // A span before now: digits and one unit.
    std::size_t used = 0;
    long long count = -1;
    try {
        count = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used > 0 && used + 1 == text.size() && count >= 0 && count <= 100000 &&
        std::isdigit(static_cast<unsigned char>(text[0]))) {
        switch (text[used]) {
            case 's':
                return now - seconds(count);
            case 'm':
                return now - minutes(count);
            case 'h':
                return now - hours(count);
            case 'd':
                return now - days(count);
            default:
                break;
        }
    }
    *error = "--since takes a UTC date or time (2026-12-08, 2026-12-08T14:00) or a time back from "
             "now (90s, 30m, 12h, 7d), not " + text;
    return std::nullopt;
}

std::unique_ptr<RunDatabase> RunDatabase::Open(const std::string& path, Access access,
                                               std::string* error, bool createFolder) {
    const std::string prefix = "cannot use the run database " + path + ": ";
    const fs::path file = Utf8Path(path);
    std::error_code ec;
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const bool exists = fs::exists(file, ec);
    if (access == Access::ReadOnly && !exists) {
        *error = "there is no run database " + path +
                 " (orlo station, and orlo program with --db, write one)";
        return nullptr;
    }
    if (exists && !fs::is_regular_file(file, ec)) {
        *error = prefix + (fs::is_directory(file, ec) ? "it is a directory" : "it is not a regular file");
        return nullptr;
    }
    if (!exists && !fs::is_directory(folder, ec)) {
        if (!createFolder) {
            *error = prefix + "no such directory " + Utf8(folder);
            return nullptr;
        }
        fs::create_directories(folder, ec);
        if (ec) {
            *error = prefix + "cannot make its folder " + Utf8(folder) + " (" + ec.message() + ")";
            return nullptr;
        }
    }

    const int flags = (access == Access::ReadOnly ? SQLITE_OPEN_READONLY
                                                  : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                      SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_URI;
    auto connect = [&](const std::string& name) -> std::unique_ptr<RunDatabase> {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(name.c_str(), &db, flags, nullptr) != SQLITE_OK) {
            *error = prefix + (db ? sqlite3_errmsg(db) : "out of memory");
            sqlite3_close(db);
            return nullptr;
        }
        std::unique_ptr<RunDatabase> database(new RunDatabase(path, db));
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db, 1);
        return database;
    };
    std::unique_ptr<RunDatabase> database = connect(FileUri(path, false));
    if (!database) return nullptr;
    int version = IntOf(database->m_db, "PRAGMA user_version");
    if (version < 0 && access == Access::ReadOnly && WalIsEmpty(file)) {
        // A reader that may not create the log's index beside a database (another user's, a
        // folder it may only read): with no log, the file itself holds every row and does not
        // change under the reader until a writer comes, which could not write there either.
        database = connect(FileUri(path, true));
        if (!database) return nullptr;
        version = IntOf(database->m_db, "PRAGMA user_version");
    }
    sqlite3* db = database->m_db;
    if (version < 0) {
        *error = database->Problem(access == Access::ReadOnly ? "read" : "open");
        return nullptr;
    }
    if (version > kDatabaseSchema) {
        *error = prefix + "it was written by a newer orlo (schema " + std::to_string(version) +
                 "; this one knows schema " + std::to_string(kDatabaseSchema) + ")";
        return nullptr;
    }
    if (version == 0 && IntOf(db, "SELECT count(*) FROM sqlite_master") > 0) {
        *error = prefix + "it is an SQLite database of some other program (it has tables but "
                          "no orlo schema)";
        return nullptr;
    }
    if (access == Access::ReadOnly) {
        database->m_empty = version == 0;  // an empty file: nothing recorded yet
        return database;
    }

    if (sqlite3_db_readonly(db, "main") == 1) {
        *error = prefix + "it is read-only";
        return nullptr;
    }
    // Write-ahead log: readers never wait for the writer, and a committed run survives the
    // writer being killed; full syncs keep it through a power cut too.
    {
        Statement wal(db, "PRAGMA journal_mode = WAL");
        if (!wal.Ok() || sqlite3_step(wal.get()) != SQLITE_ROW || wal.Column(0) != "wal") {
            *error = database->Problem("switch to write-ahead logging in");
            return nullptr;
        }
    }
    if (!Exec(db, "PRAGMA synchronous = FULL")) {
        *error = database->Problem("set up");
        return nullptr;
    }
    // Take the write lock once now: a database that is locked, read-only underneath or whose
    // folder takes no new files says so before the first run, not after it.
    if (!Exec(db, "BEGIN IMMEDIATE")) {
        *error = database->Problem("write to");
        return nullptr;
    }
    const int current = IntOf(db, "PRAGMA user_version");
    if (current == 0 && !Exec(db, kSchemaV1)) {
        *error = database->Problem("create the schema in");
        Exec(db, "ROLLBACK");
        return nullptr;
    }
    // Later schema versions migrate here, one step each, inside this transaction.
    if (!Exec(db, "COMMIT")) {
        *error = database->Problem("write to");
        Exec(db, "ROLLBACK");
        return nullptr;
    }
    return database;
}

RunDatabase::~RunDatabase() {
    sqlite3_close(m_db);
}

std::string RunDatabase::Problem(const std::string& doing) const {
    const int code = sqlite3_extended_errcode(m_db);
    std::string why = sqlite3_errmsg(m_db);
    if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED)
        why = "another program holds it locked (waited " + std::to_string(kBusyTimeoutMs / 1000) +
              " s)";
    else if ((code & 0xFF) == SQLITE_READONLY)
        why = "it is read-only";
    else if ((code & 0xFF) == SQLITE_FULL)
        why = "the disk is full";
    return "cannot " + doing + " the run database " + m_path + ": " + why;
}

std::string RunDatabase::Insert(const RunRow& run) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement insert(m_db,
                     "INSERT INTO runs (start_utc, end_utc, host, slot, port, usb_vendor, "
                     "usb_product, usb_serial, manifest_name, manifest_sha256, regions, naks, "
                     "resends, duration_s, outcome, message, tool_version) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                     "?16, ?17)");
    if (!insert.Ok()) return Problem("write to");
    insert.Text(1, IsoUtc(run.start));
    insert.Text(2, IsoUtc(run.end));
    insert.Text(3, run.host.empty() ? HostName() : run.host);
    insert.Text(4, run.slot);
    insert.Text(5, run.port);
    insert.TextOrNull(6, run.usbVendor);
    insert.TextOrNull(7, run.usbProduct);
    insert.TextOrNull(8, run.usbSerial);
    insert.TextOrNull(9, run.manifestName);
    insert.TextOrNull(10, run.manifestSha256);
    insert.Text(11, RegionsJson(run.regions));
    sqlite3_bind_int64(insert.get(), 12, run.naks);
    sqlite3_bind_int64(insert.get(), 13, run.resends);
    sqlite3_bind_double(insert.get(), 14, duration<double>(run.end - run.start).count());
    insert.Text(15, run.passed ? "passed" : "failed");
    insert.Text(16, run.message);
    insert.TextOrNull(17, run.toolVersion);

    if (!Exec(m_db, "BEGIN IMMEDIATE")) return Problem("write to");
    if (sqlite3_step(insert.get()) != SQLITE_DONE) {
        const std::string problem = Problem("write to");
        Exec(m_db, "ROLLBACK");
        return problem;
    }
    if (!Exec(m_db, "COMMIT")) {
        const std::string problem = Problem("write to");
        Exec(m_db, "ROLLBACK");
        return problem;
    }
    return {};
}

bool RunDatabase::Runs(const RunQuery& query, std::vector<RunRow>* rows, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    rows->clear();
    if (m_empty) return true;
    std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE end_utc >= ?1";
    if (query.failedOnly) sql += " AND outcome = 'failed'";
    sql += query.newestFirst ? " ORDER BY end_utc DESC, id DESC" : " ORDER BY end_utc, id";
    if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);
    Statement select(m_db, sql.c_str());
    if (!select.Ok()) {
        *error = Problem("read");
        return false;
    }
    select.Text(1, SinceText(query.since));
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        RunRow row;
        row.id = sqlite3_column_int64(select.get(), 0);
        row.start = ParseIsoUtc(select.Column(1)).value_or(TimePoint{});
        row.end = ParseIsoUtc(select.Column(2)).value_or(TimePoint{});
        row.host = select.Column(3);
        row.slot = select.Column(4);
        row.port = select.Column(5);
        row.usbVendor = select.Column(6);
        row.usbProduct = select.Column(7);
        row.usbSerial = select.Column(8);
        row.manifestName = select.Column(9);
        row.manifestSha256 = select.Column(10);
        row.regions = RegionsOf(select.Column(11));
        row.naks = sqlite3_column_int64(select.get(), 12);
        row.resends = sqlite3_column_int64(select.get(), 13);
        row.passed = select.Column(14) == "passed";
        row.message = select.Column(15);
        row.toolVersion = select.Column(16);
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        *error = Problem("read");
        return false;
    }
    return true;
}

bool RunDatabase::Yields(const char* sql, std::optional<TimePoint> since,
                         std::vector<Yield>* yields, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    yields->clear();
    if (m_empty) return true;
    Statement select(m_db, sql);
    if (!select.Ok()) {
        *error = Problem("read");
        return false;
    }
    select.Text(1, SinceText(since));
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW)
        yields->push_back({select.Column(0), select.Column(1),
                           sqlite3_column_int64(select.get(), 2),
                           sqlite3_column_int64(select.get(), 3)});
    if (rc != SQLITE_DONE) {
        *error = Problem("read");
        return false;
    }
    return true;
}

bool RunDatabase::Totals(std::optional<TimePoint> since, Yield* totals, std::string* error) {
    std::vector<Yield> all;
    if (!Yields("SELECT '', '', count(*), coalesce(sum(outcome = 'passed'), 0) FROM runs "
                "WHERE end_utc >= ?1",
                since, &all, error))
        return false;
    *totals = all.empty() ? Yield{} : all.front();
    return true;
}

bool RunDatabase::YieldBySlot(std::optional<TimePoint> since, std::vector<Yield>* yields,
                              std::string* error) {
    return Yields("SELECT slot, '', count(*), sum(outcome = 'passed') FROM runs "
                  "WHERE end_utc >= ?1 GROUP BY slot ORDER BY slot",
                  since, yields, error);
}

bool RunDatabase::YieldByManifest(std::optional<TimePoint> since, std::vector<Yield>* yields,
                                  std::string* error) {
    return Yields("SELECT coalesce(manifest_name, ''), coalesce(manifest_sha256, ''), count(*), "
                  "sum(outcome = 'passed') FROM runs WHERE end_utc >= ?1 "
                  "GROUP BY 1, 2 ORDER BY max(end_utc) DESC",
                  since, yields, error);
}

}  // namespace orlo::record
