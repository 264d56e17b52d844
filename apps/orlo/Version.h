// The version of orlo and the commit it was built from, as the build wrote them.
#pragma once

#include <string>

namespace orlo::cli {

std::string ToolVersion();  // "1.0.0"
std::string ToolCommit();   // "3f2a9c01b7d4", "-dirty" added for local changes; "unknown"
// "orlo 1.0.0 (commit 3f2a9c01b7d4)"
std::string VersionLine();

}  // namespace orlo::cli
