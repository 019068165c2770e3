#include "engine/messages.h"

HWND MainWindowHandle = nullptr;

void PostToMainWindow(UINT message, LPARAM lParam) {
  PostMessageW(MainWindowHandle, message, 0, lParam);
}
