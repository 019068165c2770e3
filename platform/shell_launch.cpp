#include "platform/shell_launch.h"

#include <windows.h>
#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include <cstdio>

#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"

namespace shell_launch {

namespace {

// A BSTR owned for one call.
class Bstr {
 public:
  explicit Bstr(const std::wstring& text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

VARIANT TextVariant(const Bstr& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text.get();  // still owned by `text`
  return v;
}

// The step of the shell route that failed, with its result, for the log.
bool Fail(std::string* why, const char* step, HRESULT result) {
  char line[160] = {};
  std::snprintf(line, sizeof line, "%s (0x%08lX)", step, static_cast<unsigned long>(result));
  *why = line;
  return false;
}

// The shell dispatch object of the desktop's view, or a reason.
bool DesktopShellDispatch(win::ComPtr<IShellDispatch2>& shell, std::string* why) {
  win::ComPtr<IShellWindows> windows;
  HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.put_void());
  if (FAILED(hr)) return Fail(why, "no shell windows", hr);
  VARIANT empty;
  VariantInit(&empty);
  long desktopWindow = 0;
  win::ComPtr<IDispatch> desktop;
  hr = windows->FindWindowSW(&empty, &empty, SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH, desktop.put());
  // S_FALSE: no desktop window is registered.
  if (hr != S_OK || !desktop) return Fail(why, "no desktop window", hr == S_OK ? E_POINTER : hr);
  win::ComPtr<IServiceProvider> services;
  hr = desktop->QueryInterface(IID_IServiceProvider, services.put_void());
  if (FAILED(hr)) return Fail(why, "no service provider", hr);
  win::ComPtr<IShellBrowser> browser;
  hr = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.put_void());
  if (FAILED(hr)) return Fail(why, "no shell browser", hr);
  win::ComPtr<IShellView> view;
  hr = browser->QueryActiveShellView(view.put());
  if (FAILED(hr) || !view) return Fail(why, "no shell view", FAILED(hr) ? hr : E_POINTER);
  win::ComPtr<IDispatch> background;
  hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void());
  if (FAILED(hr)) return Fail(why, "no view object", hr);
  win::ComPtr<IShellFolderViewDual> folderView;
  hr = background->QueryInterface(IID_IShellFolderViewDual, folderView.put_void());
  if (FAILED(hr)) return Fail(why, "no folder view", hr);
  win::ComPtr<IDispatch> application;
  hr = folderView->get_Application(application.put());
  if (FAILED(hr) || !application) return Fail(why, "no shell application", FAILED(hr) ? hr : E_POINTER);
  hr = application->QueryInterface(IID_IShellDispatch2, shell.put_void());
  if (FAILED(hr)) return Fail(why, "no shell dispatch", hr);
  return true;
}

}  // namespace

bool ExecuteAsDesktopUser(const std::wstring& file, const std::wstring& parameters, const std::wstring& folder,
                          std::string* why) {
  const win::ComApartment apartment;
  win::ComPtr<IShellDispatch2> shell;
  if (!DesktopShellDispatch(shell, why)) return false;
  const Bstr fileText(file), parametersText(parameters), folderText(folder);
  VARIANT arguments = TextVariant(parametersText);
  VARIANT directory = TextVariant(folderText);
  VARIANT operation;
  VariantInit(&operation);  // the default verb
  VARIANT show;
  VariantInit(&show);
  show.vt = VT_I4;
  show.lVal = SW_SHOWNORMAL;
  const HRESULT hr = shell->ShellExecute(fileText.get(), arguments, directory, operation, show);
  if (FAILED(hr)) return Fail(why, "shell execute failed", hr);
  return true;
}

bool ElevatedOverSplitToken() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return true;  // unknown: assume the worst
  const win::UniqueHandle token(raw);
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size)) return true;
  if (type != TokenElevationTypeFull) return false;
  // The full half always has a limited one linked to it; a full token
  // without one would be an administrator's unsplit token.
  TOKEN_LINKED_TOKEN linked{};
  if (!GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof linked, &size)) return true;
  CloseHandle(linked.LinkedToken);
  return true;
}

std::string RouteLine(Route route, const std::string& why) {
  switch (route) {
    case Route::DesktopShell:
      return "Client started through the desktop shell";
    case Route::Direct:
      return "Client started directly, desktop shell unavailable: " + why;
    case Route::Refused:
      return "Client not started: desktop shell unavailable (" + why + ") and the installer runs elevated";
  }
  return {};
}

bool LaunchClientAsDesktopUser(const std::string& installDir, Route* route) {
  const std::wstring folder = WideFromCodePage(installDir, CP_ACP, 2048);
  const std::wstring file = WideFromCodePage(installDir + "\\" + kClientExeName, CP_ACP, 2048);
  // The shell would report a missing program in a box of its own, later.
  const DWORD attributes = file.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(file.c_str());
  if (folder.empty() || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  std::string why;
  Route taken = Route::DesktopShell;
  bool started = ExecuteAsDesktopUser(file, L"end", folder, &why);
  if (!started) {
    taken = ElevatedOverSplitToken() ? Route::Refused : Route::Direct;
    started = taken == Route::Direct && LaunchClient(installDir);
  }
  AppendToInstallLog(RouteLine(taken, why).c_str());
  if (route != nullptr) *route = taken;
  return started;
}

}  // namespace shell_launch
