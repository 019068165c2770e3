#include "platform/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <vector>

#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "platform/unattended.h"

namespace {

// The link object takes paths of at most 1023 UTF-16 units.
constexpr size_t kLinkPathUnits = 1024;

void LogResult(const char* call, HRESULT result) {
  char line[101] = {};
  std::snprintf(line, sizeof line, "%s : %d", call, static_cast<int>(result));
  WriteLog(line);
}

// Releases an item list with the allocator that made it.
class ItemList {
 public:
  explicit ItemList(IMalloc* allocator) : allocator_(allocator) {}
  ~ItemList() {
    if (list_ != nullptr) allocator_->Free(list_);
  }
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  LPITEMIDLIST* put() { return &list_; }
  LPCITEMIDLIST get() const { return list_; }

 private:
  IMalloc* allocator_;
  LPITEMIDLIST list_ = nullptr;
};

}  // namespace

void GetCommonDesktopFolder(std::wstring& text) {
  win::ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put()))) return;
  ItemList items(allocator.get());
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, items.put())))
    return;
  // SHGetPathFromIDListW assumes MAX_PATH; the Ex form takes the size.
  std::vector<wchar_t> path(32768, L'\0');
  if (SHGetPathFromIDListEx(items.get(), path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT))
    text += path.data();
}

std::wstring DesktopShortcutPath(const std::string& displayName) {
  std::wstring path;
  GetCommonDesktopFolder(path);
  return path + L"\\" + WideFromCodePage(displayName, kGbkCodePage, 32768) + L"v9.5.lnk";
}

bool CreateDesktopShortcut(const std::string& installDir, const std::string& displayName,
                           const std::string& packageId) {
  std::wstring wideLink = DesktopShortcutPath(displayName);
  if (wideLink.size() + 1 > kLinkPathUnits) wideLink.clear();
  if (wideLink.empty()) return false;
  WriteLog(LogTextOfPath(wideLink).c_str());

  // The install folder came from 8-bit system calls and is read in their
  // code page; the log gets its GBK form.
  const std::string target = installDir + "\\" + kClientExeName;
  const std::wstring wideFolder = WideFromCodePage(installDir, CP_ACP, kLinkPathUnits);
  if (wideFolder.empty()) return false;
  const std::wstring wideTarget = WideFromCodePage(target, CP_ACP, kLinkPathUnits);
  if (wideTarget.empty()) {
    // A cut target would point the shortcut at some other file.
    WriteLog("Shortcut: target path longer than 1023 UTF-16 units, no shortcut made");
    return false;
  }
  WriteLog(LogTextOfPath(target).c_str());
  WriteLog(LogTextOfPath(installDir).c_str());

  // The apartment outlives every interface pointer declared after it. An
  // unattended run makes no window of any kind, and a single-threaded
  // apartment would bring COM's own: the link object works in the
  // multithreaded one as well.
  win::ComApartment apartment(UnattendedRun() ? win::ComApartment::Model::Multithreaded
                                              : win::ComApartment::Model::Apartment);
  LogResult("CoInitialize", apartment.result());
  if (FAILED(apartment.result())) return true;

  win::ComPtr<IShellLinkW> link;
  const HRESULT created = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IShellLinkW, link.put_void());
  LogResult("CoCreateInstance", created);
  if (FAILED(created)) return true;

  LogResult("IShellLink::SetPath", link->SetPath(wideTarget.c_str()));
  LogResult("IShellLink::SetWorkingDirectory", link->SetWorkingDirectory(wideFolder.c_str()));

  // The package may ship its own icon; without it the link shows the
  // client's icon.
  const std::string iconPath =
      installDir + "\\Server\\config\\shortcut\\shortcut" + packageId + ".ico";
  if (FILE* icon = std::fopen(iconPath.c_str(), "rb")) {
    std::fclose(icon);
    const std::wstring wideIcon = WideFromCodePage(iconPath, CP_ACP, kLinkPathUnits);
    if (!wideIcon.empty()) link->SetIconLocation(wideIcon.c_str(), 0);
  }

  win::ComPtr<IPersistFile> file;
  const HRESULT queried = link->QueryInterface(IID_IPersistFile, file.put_void());
  LogResult("IShellLink::QueryInterface", queried);
  if (SUCCEEDED(queried)) LogResult("IPersistFile::Save", file->Save(wideLink.c_str(), FALSE));
  return true;
}
