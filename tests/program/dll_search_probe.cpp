// Loads "SHCore.dll" by name, as the installer's display-scaling step does,
// either with the installer's start-up limit on the DLL search ("guarded")
// or without it: the control that shows a planted copy would be found.
#include <windows.h>

#include <cwchar>

#include "ui/dll_search.h"

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wcscmp(argv[1], L"guarded") == 0 && !LimitDllSearchToSystemFolder()) return 2;
  return LoadLibraryW(L"SHCore.dll") != nullptr ? 0 : 1;
}
