// The application on Windows: registers the common controls, builds the main dialog from
// template 102 on a native dialog window, runs it modally and ends when it is closed.
#pragma once

#include <string>

#include "win32/WinApi.h"

namespace orlo::win {

struct AppOptions {
    int showCommand = SW_SHOWNORMAL;
    // Instead of running the window: check its state after start-up, write the report to
    // `report` and end with 0 (all checks passed) or 1.
    bool selfTest = false;
    // Instead of running the window: show it, save a picture of it to this bitmap file and end.
    std::wstring screenshot;
};

// Runs the program; returns the process's exit code. `report` receives the self-test's lines.
int RunApp(HINSTANCE instance, const AppOptions& options, std::string* report);

}  // namespace orlo::win
