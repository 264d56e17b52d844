// The application on Windows: registers the common controls, builds the main dialog from
// template 102 on a native dialog window, runs it modally and ends when it is closed.
#pragma once

#include <memory>
#include <string>

#include "run/Run.h"
#include "win32/Win32DialogWindow.h"

namespace orlo::win {

struct AppOptions {
    int showCommand = SW_SHOWNORMAL;
    // Instead of running the window: check its state after start-up, write the report to
    // `report` and end with 0 (all checks passed) or 1.
    bool selfTest = false;
    // Instead of running the window: show it, save a picture of it to this bitmap file and end.
    std::wstring screenshot;
};

// The technician's dialog on the native window, as the program builds it: inside the run layer
// (alignment, strays, port loss and the outcome as on the command line) under the window's
// policy, with the dialog's keyboard filter on the window. The run goes before the window, the
// backend and the port table; its end closes the window, then the port.
std::unique_ptr<run::Run> MakeWindowRun(Win32DialogWindow& window, ISerialBackend& serial,
                                        IPortTable& ports);

// Runs the program; returns the process's exit code. `report` receives the self-test's lines.
int RunApp(HINSTANCE instance, const AppOptions& options, std::string* report);

}  // namespace orlo::win
