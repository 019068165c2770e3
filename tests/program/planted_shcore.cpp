// A planted "SHCore.dll": when any process loads it, it leaves a file named
// planted-<pid>.txt beside itself. It exports nothing the installer looks
// for, so a program that loads it anyway behaves as without SHCore.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring marker(path);
    marker.resize(marker.rfind(L'\\') + 1);
    marker += L"planted-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return TRUE;
}
