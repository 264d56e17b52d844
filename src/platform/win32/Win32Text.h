// Text at the boundary to the wide-character Windows API. Every text of the program is UTF-8
// (the core's own texts, including the Korean ones); the Windows layer hands them to the "W"
// functions as UTF-16, so they show the same on a Korean system and on any other, whatever its
// ANSI code page.
#pragma once

#include <string>

namespace orlo::win32 {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16);

}  // namespace orlo::win32
