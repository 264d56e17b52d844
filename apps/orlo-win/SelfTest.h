// The start-up check of orlo-gui.exe --selftest: with the dialog initialised (and not yet
// shown), it looks at the window through the window layer - title, status line, the port
// controls, the hidden service controls, the system menu and icons - then shows it, presses
// Enter and Escape (which must not close it) and the close box (which must).
#pragma once

#include <string>

#include "win32/Win32DialogWindow.h"

namespace orlo::win {

// Appends one line per check to `report`; returns 0 when every check passed, else 1.
int RunSelfTest(Win32DialogWindow& window, HINSTANCE instance, std::string* report);

// Shows the window, lets it paint and saves what the screen shows of it as a 24-bit bitmap
// file (for the documentation); returns 0, or 1 with the reason in `report`.
int SaveScreenshot(Win32DialogWindow& window, const std::wstring& path, std::string* report);

}  // namespace orlo::win
