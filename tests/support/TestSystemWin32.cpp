#include <stdlib.h>
#include <time.h>

#include <random>
#include <system_error>

#include "support/TestSystem.h"

namespace orlo::test {

namespace {
constexpr int kTempDirAttempts = 100;  // names tried before giving up
}

std::filesystem::path MakeTempDir(const std::string& prefix) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return {};
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int i = 0; i < kTempDirAttempts; ++i) {
        const std::filesystem::path dir = base / (prefix + std::to_string(random() % 1000000000));
        // create_directory is false for a folder that already exists: try another name.
        if (std::filesystem::create_directory(dir, ec) && !ec) return dir;
    }
    return {};
}

void SetTimeZone(const std::string& tz) {
    ::_putenv_s("TZ", tz.c_str());
    ::_tzset();
}

bool MakeFifo(const std::string&) {
    return false;
}

}  // namespace orlo::test
