// Notices (a titled tracking tooltip that disappears after 1500 ms or at the next click or key),
// hover tips of the report buttons, the input filter, subclassing, and menu item bitmaps.
#pragma once

#include <windows.h>

constexpr int kNoticeInformation = 1;  // TTI_INFO
constexpr int kNoticeError = 3;        // TTI_ERROR
constexpr UINT_PTR kNoticeTimer = 1;
constexpr UINT kNoticeMilliseconds = 1500;

// Creates the hover tip and the notice tip (hover tip first).
void CreateTooltipWindows();
// Subclasses the information pane and buttons 900-904.
void SubclassControls();
// Removes the hover tool of a button and adds it again with the given text.
void SetHoverTip(HWND button, const wchar_t *text);
void RemoveHoverTip(HWND button);

// Shows text with a title and icon (kNoticeInformation or kNoticeError) at screen point x, y,
// or at the default place just inside the information pane when both are -1. The strings must
// stay valid while the notice shows. Safe from any thread.
int ShowNotice(int x, int y, const wchar_t *text, const wchar_t *title, int icon);
void HideNotice();
// Serves a notice that a worker thread asked for; the main window procedure calls it first.
bool HandleNoticeRequest(UINT message, LPARAM lParam);
// 1 when the message is consumed (busy, or the click or key that dismisses a notice).
int FilterForNotice(UINT message);

// The icon resource drawn into a 32-bit DIB section of the small-icon size; the caller owns it.
HBITMAP IconToMenuBitmap(WORD iconId);
