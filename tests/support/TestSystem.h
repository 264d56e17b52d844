// What the tests need from the operating system beyond the standard library. One file per
// system implements it (TestSystemPosix.cpp, TestSystemWin32.cpp), picked by the build.
#pragma once

#include <filesystem>
#include <string>

namespace orlo::test {

// Creates a new, empty folder in the system's temporary folder whose name starts with
// `prefix`; an empty path when that fails.
std::filesystem::path MakeTempDir(const std::string& prefix);

// Sets the time zone that local-time conversions use, in the TZ syntax both systems read:
// "UTC", or a name and the hours west of UTC ("KST-9" is nine hours east).
void SetTimeZone(const std::string& tz);

// Makes a named pipe (FIFO) at `path`. False where the system has no named pipes in its file
// system (Windows): the test that needs one is then skipped.
bool MakeFifo(const std::string& path);

}  // namespace orlo::test
