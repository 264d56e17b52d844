// Where the run database lives on Windows, and the computer's name.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "record/RunDatabase.h"

namespace orlo::record {

namespace {

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

std::string RunDatabase::DefaultPath() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    const std::string base = local != nullptr ? Utf8(local) : std::string();
    return (base.empty() ? std::string(".") : base) + "\\orlo\\station.db";
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) return "localhost";
    return Utf8(name);
}

}  // namespace orlo::record
