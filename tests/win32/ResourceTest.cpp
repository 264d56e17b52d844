// The resources of orlo-gui.exe as Windows reads them: the two dialog templates (size in dialog
// units, font, caption, style), the version block and the manifest.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/DialogTemplate.h"
#include "win32/Win32Text.h"
#include "win32/WinApi.h"

namespace orlo::test {
namespace {

// The header of an extended dialog template (DLGTEMPLATEEX), as far as the tests look at it.
struct DialogHeader {
    DWORD exStyle = 0;
    DWORD style = 0;
    WORD items = 0;
    short cx = 0;
    short cy = 0;
    std::string caption;
    WORD points = 0;
    std::string font;
};

// Skips a "name or ordinal" field of a template; returns the next position.
const WORD* SkipNameOrOrdinal(const WORD* p) {
    if (*p == 0x0000) return p + 1;
    if (*p == 0xFFFF) return p + 2;
    while (*p != 0) ++p;
    return p + 1;
}

bool ReadDialogHeader(int id, DialogHeader* out) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
    if (res == nullptr) return false;
    const auto* p = static_cast<const WORD*>(::LockResource(::LoadResource(module, res)));
    if (p == nullptr || p[0] != 1 || p[1] != 0xFFFF) return false;  // DLGTEMPLATEEX only
    DWORD helpId;
    std::memcpy(&helpId, p + 2, 4);
    std::memcpy(&out->exStyle, p + 4, 4);
    std::memcpy(&out->style, p + 6, 4);
    out->items = p[8];
    out->cx = static_cast<short>(p[11]);
    out->cy = static_cast<short>(p[12]);
    p = SkipNameOrOrdinal(p + 13);  // menu
    p = SkipNameOrOrdinal(p);       // window class
    out->caption = win32::Narrow(reinterpret_cast<const wchar_t*>(p));
    p += std::wcslen(reinterpret_cast<const wchar_t*>(p)) + 1;
    if (out->style & DS_SETFONT) {
        out->points = p[0];
        p += 3;  // point size, weight, italic and character set
        out->font = win32::Narrow(reinterpret_cast<const wchar_t*>(p));
    }
    return true;
}

TEST(Resources, TheMainDialogTemplateIs519By93DialogUnitsInMsShellDlg9) {
    DialogHeader h;
    ASSERT_TRUE(ReadDialogHeader(IDD_ORLO_DIALOG, &h));
    EXPECT_EQ(h.cx, kMainDialogTemplate.width);
    EXPECT_EQ(h.cy, kMainDialogTemplate.height);
    EXPECT_EQ(h.cx, 519);
    EXPECT_EQ(h.cy, 93);
    EXPECT_EQ(h.items, kMainDialogTemplate.controls.size());
    EXPECT_EQ(h.caption, "Orlo");
    EXPECT_EQ(h.font, "MS Shell Dlg");
    EXPECT_EQ(h.points, 9);
    EXPECT_TRUE(h.style & WS_POPUP);
    EXPECT_TRUE(h.style & WS_MINIMIZEBOX);
    EXPECT_TRUE(h.exStyle & WS_EX_APPWINDOW);
}

TEST(Resources, TheAboutBoxTemplateIs170By62DialogUnitsWithItsKoreanCaption) {
    DialogHeader h;
    ASSERT_TRUE(ReadDialogHeader(IDD_ABOUTBOX, &h));
    EXPECT_EQ(h.cx, 170);
    EXPECT_EQ(h.cy, 62);
    EXPECT_EQ(h.items, 3);
    EXPECT_EQ(h.caption, "Orlo 정보");
    EXPECT_EQ(h.font, "MS Shell Dlg");
    EXPECT_EQ(h.points, 9);
}

TEST(Resources, TheVersionBlockSays1001InKorean) {
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path, 0, size, block.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length));
    EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwProductVersionLS, 0x00000001u);
    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0412);  // Korean
    wchar_t* version = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\041204B0\\FileVersion",
                                 reinterpret_cast<void**>(&version), &length));
    EXPECT_EQ(std::wstring(version), L"1.0.0.1");
}

TEST(Resources, TheManifestRunsAsTheInvokingUserAndIsDpiAware) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(res, nullptr);
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(module, res)));
    const std::string manifest(data, ::SizeofResource(module, res));
    EXPECT_NE(manifest.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
}

TEST(Resources, TheIconHasEverySizeTheWindowAsksFor) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    for (int size : {16, 24, 32, 48, 256}) {
        HANDLE icon = ::LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size,
                                   LR_DEFAULTCOLOR);
        EXPECT_NE(icon, nullptr) << size;
        ICONINFO info{};
        if (icon != nullptr && ::GetIconInfo(static_cast<HICON>(icon), &info)) {
            BITMAP bm{};
            ::GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
            EXPECT_EQ(bm.bmWidth, size);
            if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
            if (info.hbmMask != nullptr) ::DeleteObject(info.hbmMask);
        }
        if (icon != nullptr) ::DestroyIcon(static_cast<HICON>(icon));
    }
}

}  // namespace
}  // namespace orlo::test
