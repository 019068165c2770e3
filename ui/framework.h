#pragma once
// The installer's small window framework: an object per window whose
// virtual HandleMessage receives the window's messages, one shared window
// procedure, a top-level window with a caption band and a drawn close box,
// and an off-screen paint buffer (one copy to the screen per paint).
#include <windows.h>

#include <cstdint>
#include <string>

// Root of every framework window.
class TIxFrm {
 public:
  TIxFrm() = default;
  // Detaches the object from a window that still exists, so that the
  // window's later messages go to DefWindowProcW instead of a dead object.
  virtual ~TIxFrm();
  TIxFrm(const TIxFrm&) = delete;
  TIxFrm& operator=(const TIxFrm&) = delete;

  // -1: not handled, the window procedure calls DefWindowProcW.
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

  // Registers the class (a second registration fails and is ignored) and
  // creates the window at 0,0 with zero size; hwnd is set during creation.
  HWND Create(const wchar_t* className, HWND parent, DWORD style, DWORD exStyle);

  // Set at WM_NCCREATE; cleared when the window is gone (WM_NCDESTROY).
  HWND hwnd = nullptr;
};

// The window procedure of every framework window class: finds the object in
// the window's first 8 extra bytes from WM_NCCREATE on.
LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

class TMemDC;

// Top-level framework window.
class TModalWnd : public TIxFrm {
 public:
  TModalWnd() = default;
  ~TModalWnd() override;

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;  // slot 0
  virtual void Initialise() = 0;                                               // slot 1
  virtual void PlaceWindow() = 0;                                              // slot 2
  virtual void PaintContent(TMemDC& dc);                                       // slot 3
  virtual void Close();                                                        // slot 4

  // Posts WM_NCLBUTTONDOWN/HTCAPTION (Windows then drags the window) when
  // wParam is exactly MK_LBUTTON and the cursor is not in closeRect.
  void StartDrag(WPARAM wParam, LPARAM lParam);

  std::wstring title;
  HWND parent = nullptr;
  HBITMAP background = nullptr;
  RECT captionRect{};
  RECT closeRect{};
  bool closeHover = false;
  bool running = false;
  int32_t closeBoxSize = 25;

 protected:
  // Cursor position in client coordinates (GetCursorPos + ScreenToClient).
  POINT CursorInClient() const;
  // Asks Windows for WM_MOUSELEAVE; it cancels the request once it fired.
  void RequestMouseLeave() const;
  void DefaultPaint();
};

// Off-screen paint buffer for one WM_PAINT: BeginPaint on construction; the
// destructor copies the buffer to the window once and ends the paint.
class TMemDC {
 public:
  explicit TMemDC(HWND hwnd);
  virtual ~TMemDC();
  TMemDC(const TMemDC&) = delete;
  TMemDC& operator=(const TMemDC&) = delete;

  HDC memDC = nullptr;
  HDC paintDC = nullptr;
  HBITMAP bitmap = nullptr;
  HWND hwnd = nullptr;
  PAINTSTRUCT ps{};

 private:
  HGDIOBJ oldBitmap_ = nullptr;
};

// The progress bar child window: a rounded white track and a red fill.
class TProcess : public TIxFrm {
 public:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

  int32_t value = 0;
  HPEN barPen = nullptr;
  HBRUSH barBrush = nullptr;

 private:
  void Paint();
};
