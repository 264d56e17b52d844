// <windows.h> for the Windows layer; include this instead of it.
//
// The core names its message, control, box and file-dialog constants as the Windows headers do
// (WM_PAINT, CB_ERR, MB_ICONHAND, OFN_HIDEREADONLY, ...). Its headers that declare them come
// first, so the Windows macros of the same names and values only shadow them afterwards. The
// macros that would rename the window layer's own functions (IWindow::SendMessage and
// IWindow::MessageBox would become SendMessageW and MessageBoxW) are removed: this layer calls
// the wide-character functions by their full names.
#pragma once

#include "app/Resource.h"
#include "app/Window.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef SendMessage
#undef MessageBox
