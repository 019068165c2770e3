// What the installer window draws in each state. Everything goes into the
// framework's off-screen buffer, which reaches the screen in one copy, so
// the repaint on every mouse move does not flicker.
#include <cstdio>
#include <string>

#include "engine/app_context.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "ui/kavimor_dlg.h"
#include "ui/texts.h"

namespace {

constexpr UINT kPictureIdle = 101;  // Ready and Finished
constexpr UINT kPictureBusy = 104;  // Installing and Failed

constexpr COLORREF kUnderlayFill = RGB(255, 255, 255);
constexpr COLORREF kUnderlayFrame = RGB(70, 70, 70);
constexpr COLORREF kUnderlayCaption = RGB(218, 66, 45);
constexpr COLORREF kCloseNormal = RGB(231, 231, 231);
constexpr COLORREF kCloseHover = RGB(150, 150, 150);
constexpr COLORREF kLightText = RGB(231, 231, 231);
constexpr COLORREF kButtonFill = RGB(165, 21, 16);
constexpr COLORREF kButtonFillHover = RGB(125, 13, 7);
constexpr COLORREF kButtonOutline = RGB(217, 64, 65);
constexpr COLORREF kToggleText = RGB(168, 168, 173);
constexpr COLORREF kStepText = RGB(0, 0, 0);
constexpr COLORREF kBusyText = RGB(255, 255, 255);

// Draws a rounded rectangle with a freshly made pen and brush, both
// deselected and deleted before returning.
void RoundedBox(HDC dc, const RECT& r, COLORREF fill, COLORREF outline, int corner) {
  win::Brush brush(CreateSolidBrush(fill));
  win::Pen pen(CreatePen(PS_SOLID, 1, outline));
  win::SelectGuard useBrush(dc, brush.get());
  win::SelectGuard usePen(dc, pen.get());
  RoundRect(dc, r.left, r.top, r.right, r.bottom, corner, corner);
}

void Text(HDC dc, const wchar_t* text, RECT r, UINT flags) {
  DrawTextW(dc, text, -1, &r, flags);
}

}  // namespace

void TKavimorDlg::Paint() {
  TMemDC buffer(hwnd);
  HDC dc = buffer.memDC;
  RECT client{};
  GetClientRect(hwnd, &client);
  SetBkMode(dc, TRANSPARENT);
  // Shared fonts are selected directly below; the buffer gets its own font
  // back before it is deleted.
  const HGDIOBJ originalFont = GetCurrentObject(dc, OBJ_FONT);

  // Underlay: seen only where the picture does not cover the window.
  {
    win::Brush fill(CreateSolidBrush(kUnderlayFill));
    win::Brush frame(CreateSolidBrush(kUnderlayFrame));
    win::Brush caption(CreateSolidBrush(kUnderlayCaption));
    FillRect(dc, &client, fill.get());
    FrameRect(dc, &client, frame.get());
    FillRect(dc, &captionRect, caption.get());
  }

  // The picture is loaded at every paint and released at once.
  {
    const bool idle = state == Ready || state == Finished;
    win::Bitmap picture(LoadBitmapW(GetModuleHandleW(nullptr),
                                    MAKEINTRESOURCEW(idle ? kPictureIdle : kPictureBusy)));
    win::MemoryDC pictureDC(CreateCompatibleDC(dc));
    if (picture && pictureDC) {
      win::SelectGuard select(pictureDC.get(), picture.get());
      BitBlt(dc, 0, 0, client.right, client.bottom, pictureDC.get(), 0, 0, SRCCOPY);
    }
  }

  // No close box while the worker runs: it could not be honoured.
  if (state != Installing) {
    const int d = closeBoxSize;
    const LONG w = client.right - client.left;
    closeRect.left = w - (2 * d) / 3;
    closeRect.top = d / 3;
    closeRect.right = closeRect.left + d / 3;
    closeRect.bottom = 2 * (d / 3);
    win::Pen pen(CreatePen(PS_SOLID, 1, closeHover ? kCloseHover : kCloseNormal));
    win::SelectGuard usePen(dc, pen.get());
    MoveToEx(dc, closeRect.left, closeRect.top, nullptr);
    LineTo(dc, closeRect.right + 1, closeRect.bottom + 1);
    MoveToEx(dc, closeRect.left, closeRect.bottom, nullptr);
    LineTo(dc, closeRect.right + 1, closeRect.top - 1);
    InflateRect(&closeRect, 1, 1);
  }

  if (state == Ready || state == Finished) {
    SelectObject(dc, Font27);
    SetTextColor(dc, kLightText);
    if (panelCollapsed || state == Finished) {
      const std::wstring tag = WideFromCodePage(GetAppContext().packageId, kGbkCodePage, 1024);
      Text(dc, tag.c_str(), tagRect, DT_CENTER | DT_BOTTOM | DT_SINGLELINE | DT_NOPREFIX);
    }
  }

  PaintContent(buffer);
  SelectObject(dc, originalFont);
}

void TKavimorDlg::PaintContent(TMemDC& buffer) {
  HDC dc = buffer.memDC;
  if (state == Installing || state == Failed) {
    PaintBusy(dc);
  } else {
    PaintIdle(dc);
  }
}

void TKavimorDlg::PaintBusy(HDC dc) {
  SetTextColor(dc, kStepText);
  SelectObject(dc, Font20);
  if (state == Failed) {
    // Right-aligned at the top of the step line; a text wider than the line
    // (the English hand-over failure) breaks between words instead of
    // running off the window's left edge.
    RECT measured = statusRect;
    DrawTextW(dc, statusText.c_str(), -1, &measured, kFailureTextFlags | DT_CALCRECT);
    Text(dc, statusText.c_str(), FailureTextRect(statusRect, measured.bottom - measured.top),
         kFailureTextFlags | DT_RIGHT);
    return;
  }
  wchar_t percent[260] = {};
  std::swprintf(percent, 260, L"%d%%", progressBar != nullptr ? progressBar->value : 0);
  Text(dc, percent, statusRect, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  Text(dc, statusText.c_str(), statusRect, DT_VCENTER | DT_SINGLELINE);

  SetTextColor(dc, kBusyText);
  SelectObject(dc, Font27);
  Text(dc, UiText(10), busyRect, DT_VCENTER | DT_SINGLELINE);
}

void TKavimorDlg::PaintIdle(HDC dc) {
  const AppContext& ctx = GetAppContext();
  if (state == Ready && !panelCollapsed) {
    SelectObject(dc, Font18);
    Text(dc, PathLabel(), kPathLabelRect, DT_VCENTER | DT_SINGLELINE);
    RoundedBox(dc, kFolderBoxRect, kButtonFill, kButtonOutline, 5);
    RECT folder = kFolderTextRect;
    DrawTextA(dc, ctx.installDir.c_str(), static_cast<int>(ctx.installDir.size()), &folder,
              DT_END_ELLIPSIS | DT_SINGLELINE | DT_VCENTER);
    RoundedBox(dc, browseRect, browseHover ? kButtonFillHover : kButtonFill, kButtonOutline, 2);
    Text(dc, BrowseLabel(), browseRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }

  RoundedBox(dc, installRect, installHover ? kButtonFillHover : kButtonFill, kButtonOutline, 5);

  // The caption sinks by one pixel under the cursor.
  RECT caption = installRect;
  if (!installHover) OffsetRect(&caption, 0, -1);
  SetTextColor(dc, kLightText);
  SelectObject(dc, Font22);
  Text(dc, UiText(state == Finished ? 7 : 0), caption, DT_CENTER | DT_VCENTER | DT_SINGLELINE);

  if (state == Ready) {
    SetTextColor(dc, kToggleText);
    SelectObject(dc, Font18);
    Text(dc, CustomLabel(), customRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }
  PaintFocusCue(dc);
}

void TKavimorDlg::PaintFocusCue(HDC dc) {
  const int control = FocusedControl();
  if (!focusCueShown || control == kNoControl) return;
  // A thin light frame just inside the control, in the caption colour,
  // rounded like the buttons themselves.
  RECT r = ControlRect(control);
  InflateRect(&r, control == kMainButton ? -3 : -1, control == kMainButton ? -3 : -1);
  win::Pen pen(CreatePen(PS_SOLID, 1, control == kCustomToggle ? kToggleText : kLightText));
  win::SelectGuard usePen(dc, pen.get());
  win::SelectGuard hollow(dc, GetStockObject(NULL_BRUSH));
  RoundRect(dc, r.left, r.top, r.right, r.bottom, 4, 4);
}
