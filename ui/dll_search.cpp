#include "ui/dll_search.h"

#include <windows.h>

bool LimitDllSearchToSystemFolder() {
  return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}
