// orlo-gui.exe: the programmer as a native Windows dialog.
//   orlo-gui.exe              the window
//   orlo-gui.exe --selftest   checks the window after start-up, prints the result, exits 0 or 1
//   orlo-gui.exe --screenshot FILE.bmp   saves a picture of the window as it opens
//   orlo-gui.exe --station   says where a station runs on Windows (the command line)
#include <string>

#include "OrloApp.h"
#include "win32/Win32Text.h"

#include <shellapi.h>  // after <windows.h> (OrloApp.h)

namespace {

// Standard output of a window program: the handle it was started with (a pipe or file, or the
// Unix terminal under Wine), else the console of the program that started it.
void WriteOut(const std::string& text) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS))
        out = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(out, &mode)) {
        const std::wstring wide = orlo::win32::Widen(text);
        ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    orlo::win::AppOptions options;
    options.showCommand = showCommand;
    int argc = 0;
    if (wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i) {
            const std::wstring arg = argv[i];
            if (arg == L"--selftest") {
                options.selfTest = true;
            } else if (arg == L"--screenshot" && i + 1 < argc) {
                options.screenshot = argv[++i];
            } else if (arg == L"--station") {
                // The native dialog is the technician's window of one port; the board of many
                // slots is not built into it. The command line runs the same station here.
                const std::string text =
                    "The station's board is not part of the Windows window, which programs one "
                    "device at a time.\n\nRun the station from a command prompt instead, with "
                    "the same bundle, slots and database, for example:\n\n"
                    "  orlo station voice voice.adm application app.bin --match COM5 --match "
                    "COM6\n";
                WriteOut("orlo-gui: " + text);
                ::MessageBoxW(nullptr, orlo::win32::Widen(text).c_str(), L"Orlo",
                              MB_OK | MB_ICONINFORMATION);
                ::LocalFree(argv);
                return 2;
            } else {
                WriteOut("orlo-gui: unknown option " + orlo::win32::Narrow(arg) +
                         "\nusage: orlo-gui.exe [--selftest | --screenshot FILE.bmp | --station]\n");
                ::LocalFree(argv);
                return 2;
            }
        }
        ::LocalFree(argv);
    }
    std::string report;
    const int code = orlo::win::RunApp(instance, options, &report);
    if (!report.empty()) WriteOut(report);
    return code;
}
