// A stand-in for SHCore.dll with a DPI chosen by the test. Built twice: with
// both functions, and without GetDpiForMonitor (an older system's library).
#include <windows.h>

namespace {
UINT g_dpiX = 96;
UINT g_dpiY = 96;
HRESULT g_result = S_OK;
int g_awareness = -1;
int g_dpiType = -1;
}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI SetProcessDpiAwareness(int value) {
  g_awareness = value;
  return S_OK;
}

#ifndef FAKE_SHCORE_WITHOUT_DPI_QUERY
__declspec(dllexport) HRESULT WINAPI GetDpiForMonitor(HMONITOR monitor, int dpiType, UINT* dpiX, UINT* dpiY) {
  if (monitor == nullptr) return E_INVALIDARG;
  g_dpiType = dpiType;
  *dpiX = g_dpiX;
  *dpiY = g_dpiY;
  return g_result;
}
#endif

// Test controls: the DPI and result the next query reports; what the
// library was asked.
__declspec(dllexport) void FakeShcoreSet(UINT dpiX, UINT dpiY, HRESULT result) {
  g_dpiX = dpiX;
  g_dpiY = dpiY;
  g_result = result;
  g_awareness = -1;
  g_dpiType = -1;
}
__declspec(dllexport) int FakeShcoreAwareness() { return g_awareness; }
__declspec(dllexport) int FakeShcoreDpiType() { return g_dpiType; }

}  // extern "C"
