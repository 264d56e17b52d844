#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include "support/TestSystem.h"

namespace orlo::test {

std::filesystem::path MakeTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

void SetTimeZone(const std::string& tz) {
    ::setenv("TZ", tz.c_str(), 1);
    ::tzset();
}

bool MakeFifo(const std::string& path) {
    return ::mkfifo(path.c_str(), 0600) == 0;
}

}  // namespace orlo::test
