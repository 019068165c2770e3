#include "platform/url_protocol.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"

namespace {

// A 1024-byte buffer holding the first 1023 bytes of `text`: registry data
// of this scheme is cut, not refused, when the install folder is very long.
struct Buffer1024 {
  char data[1024] = {};
  explicit Buffer1024(const std::string& text) {
    std::memcpy(data, text.data(), text.size() < sizeof data ? text.size() : sizeof data - 1);
  }
};

bool SetString(HKEY key, const char* name, const char* data) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                        static_cast<DWORD>(std::strlen(data) + 1)) == ERROR_SUCCESS;
}

bool CreateSubkey(HKEY parent, const char* name, win::RegKey& key) {
  return RegCreateKeyA(parent, name, key.put()) == ERROR_SUCCESS;
}

}  // namespace

void RegisterUrlProtocol(const std::string& packageId, const std::string& installDir) {
  WriteLog("URL Schemes: Start");

  const std::string schemeName = "Kavimor" + packageId;
  win::RegKey scheme;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, schemeName.c_str(), 0, KEY_SET_VALUE, scheme.put()) !=
      ERROR_SUCCESS) {
    win::RegKey created;
    if (!CreateSubkey(HKEY_CLASSES_ROOT, schemeName.c_str(), created)) {
      WriteLog("URL Schemes: Create url key Failed");
      return;
    }
    created.reset();
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, schemeName.c_str(), 0, KEY_SET_VALUE, scheme.put()) !=
        ERROR_SUCCESS) {
      WriteLog("URL Schemes: Open url key Failed");
      return;
    }
  }

  // Through the 8-bit call, which reads it in the system's code page, the
  // one the install folder came in.
  const Buffer1024 exePath(installDir + "\\" + kClientExeName);
  if (!SetString(scheme.get(), "URL Protocol", exePath.data)) {
    WriteLog("URL Schemes: URL Protocol Setvalue Failed");
    return;
  }
  if (!SetString(scheme.get(), "", "KavimorProtocol")) {
    WriteLog("URL Schemes: KavimorProtocol Setvalue Failed");
    return;
  }

  {
    win::RegKey icon;
    if (!CreateSubkey(scheme.get(), "DefaultIcon", icon)) {
      WriteLog("URL Schemes: Create DefaultIcon key Failed");
      return;
    }
    const Buffer1024 iconText(std::string(exePath.data) + ",1");
    if (!SetString(icon.get(), "", iconText.data)) {
      WriteLog("URL Schemes: DefaultIcon Setvalue Failed");
      return;
    }
  }

  {
    win::RegKey shell;
    if (!CreateSubkey(scheme.get(), "shell", shell)) {
      WriteLog("URL Schemes: Create shell key Failed");
      return;
    }
  }
  {
    win::RegKey open;
    if (!CreateSubkey(scheme.get(), "shell\\open", open)) {
      WriteLog("URL Schemes: Create shellopen key Failed");
      return;
    }
  }
  win::RegKey command;
  if (!CreateSubkey(scheme.get(), "shell\\open\\command", command)) {
    WriteLog("URL Schemes: Create shellopencommand key Failed");
    return;
  }
  // The bare path: no quotes and no placeholder for the link, as the
  // client expects it.
  if (!SetString(command.get(), "", exePath.data)) {
    WriteLog("URL Schemes: shellopencommand Setvalue Failed");
    return;
  }
  scheme.reset();
  command.reset();
  WriteLog("URL Schemes: Finish");
}
