#pragma once
// Link-time stand-ins for what the installer window calls in the engine:
// the start sequence (with a chosen outcome) and the object-store set-up.
// Everything else the window uses is the real code.
#include <windows.h>

#include <vector>

#include "engine/pipeline.h"

struct WindowDouble {
  StartOutcome outcome = StartOutcome::Started;
  // Posted to the window before the start sequence returns, as a manifest
  // transfer posts its progress.
  std::vector<LPARAM> progressBeforeReturn;
  // Then the manifest failure as the fetching thread reports it.
  bool manifestFailsAfterReturn = false;

  int startCalls = 0;
  HWND startOwner = nullptr;
  int prepareCalls = 0;
  int createClientCalls = 0;

  static WindowDouble& Get();
  void Reset() { *this = WindowDouble(); }
};
