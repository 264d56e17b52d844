#include "Version.h"

#include "OrloVersion.h"

namespace orlo::cli {

std::string ToolVersion() {
    return ORLO_VERSION;
}

std::string ToolCommit() {
    return ORLO_COMMIT;
}

std::string VersionLine() {
    return "orlo " + ToolVersion() + " (commit " + ToolCommit() + ")";
}

}  // namespace orlo::cli
