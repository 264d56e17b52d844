// Two processes on one run database: a reader sees every committed row while a writer writes,
// and a writer killed mid-stream loses no row it had committed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "record/RunDatabase.h"
#include "support/TestSystem.h"

namespace orlo::record {
namespace {

namespace fs = std::filesystem;

TEST(RunDatabaseProcesses, AKilledWriterLosesNoCommittedRowAndAReaderNeverWaits) {
    const fs::path dir = test::MakeTempDir("orlo-rundb-proc");
    ASSERT_FALSE(dir.empty());
    const std::string path = (dir / "station.db").string();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);

    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        // The writer: its own connection, one byte on the pipe after every committed row,
        // until it is killed.
        ::close(pipeFds[0]);
        std::string error;
        auto db = RunDatabase::Open(path, RunDatabase::Access::ReadWrite, &error);
        if (!db) ::_exit(3);
        for (int n = 0;; ++n) {
            RunRow row;
            row.start = row.end = std::chrono::system_clock::now();
            row.slot = "slot-" + std::to_string(n % 8);
            row.port = "/dev/ttyUSB0";
            row.passed = n % 3 != 0;
            row.message = "run " + std::to_string(n);
            if (!db->Insert(row).empty()) ::_exit(4);
            if (::write(pipeFds[1], "+", 1) != 1) ::_exit(5);
        }
    }
    ::close(pipeFds[1]);

    // Read while the writer writes: every count seen is at least the rows it had reported.
    std::string error;
    std::unique_ptr<RunDatabase> reader;
    int committed = 0;
    char byte;
    while (committed < 300 && ::read(pipeFds[0], &byte, 1) == 1) {
        ++committed;
        if (!reader) reader = RunDatabase::Open(path, RunDatabase::Access::ReadOnly, &error);
        if (committed % 50 != 0) continue;
        ASSERT_TRUE(reader) << error;
        Yield totals;
        ASSERT_TRUE(reader->Totals(std::nullopt, &totals, &error)) << error;
        EXPECT_GE(totals.runs, committed);
    }
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself with " << WEXITSTATUS(status);
    // Rows it committed after the last byte read still count; none before it may be missing.
    while (::read(pipeFds[0], &byte, 1) == 1) ++committed;
    ::close(pipeFds[0]);

    auto after = RunDatabase::Open(path, RunDatabase::Access::ReadWrite, &error);
    ASSERT_TRUE(after) << error;
    std::vector<RunRow> rows;
    ASSERT_TRUE(after->Runs({}, &rows, &error)) << error;
    ASSERT_GE(static_cast<int>(rows.size()), committed);
    for (int n = 0; n < committed; ++n) EXPECT_EQ(rows[n].message, "run " + std::to_string(n));
    reader.reset();
    after.reset();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace orlo::record
