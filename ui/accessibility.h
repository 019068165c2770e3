#pragma once
// The installer window for screen readers: its client area as an
// IAccessible whose children are the buttons the window draws itself.
#include <windows.h>

// Answers WM_GETOBJECT for OBJID_CLIENT of the main installer window.
LRESULT AnswerAccessibleObjectRequest(HWND hwnd, WPARAM wParam);
