// Where the run database lives on Linux, and the computer's name.
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "record/RunDatabase.h"

namespace orlo::record {

std::string RunDatabase::DefaultPath() {
    // The XDG base directories: $XDG_STATE_HOME when set to an absolute path, else
    // ~/.local/state.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/orlo/station.db";
    const char* home = std::getenv("HOME");
    std::string base = home != nullptr && home[0] != '\0' ? home : "";
    if (base.empty())
        if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
            base = pw->pw_dir;
    return base + "/.local/state/orlo/station.db";
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

}  // namespace orlo::record
