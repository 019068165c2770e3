#include "support/proxy_support.h"

#include <wincred.h>

#include <sstream>

#include "support/oss_server.h"
#include "support/test_support.h"

namespace testing_support {

namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kSettingsValue[] = L"DefaultConnectionSettings";

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

void AppendDword(std::vector<BYTE>& out, DWORD value) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof value);
}

void AppendText(std::vector<BYTE>& out, const std::string& text) {
  AppendDword(out, static_cast<DWORD>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

ProxyServerProcess::ProxyServerProcess(const std::string& user, const std::string& password,
                                       const std::string& pacScript) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  static LONG counter = 0;
  controlDir_ = std::string(temp) + "proxy_server_" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(InterlockedIncrement(&counter));
  RemoveTree(controlDir_);
  CreateDirectoryA(controlDir_.c_str(), nullptr);
  const std::string control = UnixPath(controlDir_);
  std::string command = "/usr/bin/python3 " + Quote(RepositoryFile("tools/proxy_server.py")) + " --port-file " +
                        Quote(control + "/port") + " --control-dir " + Quote(control) + " --log-file " +
                        Quote(control + "/proxy.log") + " --idle-exit 120";
  if (!user.empty()) command += " --user " + Quote(user) + " --password " + Quote(password);
  if (!pacScript.empty()) {
    WriteFileBytes(controlDir_ + "\\proxy.pac", pacScript);
    command += " --pac-file " + Quote(control + "/proxy.pac");
  }
  std::wstring wide(command.size() + 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
  // Wine hands out no waitable handle for a Linux child.
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
  const std::string portFile = controlDir_ + "\\port";
  for (int i = 0; i < 200 && port_ == 0; ++i) {
    if (PathExists(portFile)) port_ = static_cast<uint16_t>(std::atoi(ReadFileBytes(portFile).c_str()));
    if (port_ == 0) Sleep(100);
  }
}

ProxyServerProcess::~ProxyServerProcess() {
  WriteFileBytes(controlDir_ + "\\stop", "stop");
  if (port_ != 0) Sleep(400);  // the proxy looks for the file every 0.2 s
  RemoveTree(controlDir_);
}

std::vector<std::string> ProxyServerProcess::Requests() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(controlDir_ + "\\requests.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

UserProxySettings::UserProxySettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                                     const std::string& pacUrl) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, kConnections, kSettingsValue, RRF_RT_REG_BINARY, nullptr, nullptr, &size) ==
      ERROR_SUCCESS) {
    saved_.resize(size);
    hadValue_ = RegGetValueW(HKEY_CURRENT_USER, kConnections, kSettingsValue, RRF_RT_REG_BINARY, nullptr,
                             saved_.data(), &size) == ERROR_SUCCESS;
    saved_.resize(size);
  }
  // Internet Options' layout: version 0x46, a change counter, the flags,
  // then the proxy list, the bypass list and the script URL, each as a
  // byte count and 8-bit text, then fields these tests leave empty.
  std::vector<BYTE> blob;
  AppendDword(blob, 0x46);
  AppendDword(blob, 1);
  AppendDword(blob, flags);
  AppendText(blob, proxy);
  AppendText(blob, bypass);
  AppendText(blob, pacUrl);
  for (int i = 0; i < 8; ++i) AppendDword(blob, 0);
  RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, kSettingsValue, REG_BINARY, blob.data(),
                  static_cast<DWORD>(blob.size()));
}

UserProxySettings::~UserProxySettings() {
  if (hadValue_) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, kSettingsValue, REG_BINARY, saved_.data(),
                    static_cast<DWORD>(saved_.size()));
  } else {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, kSettingsValue);
  }
}

StoredCredential::StoredCredential(const std::wstring& target, const std::wstring& user,
                                   const std::wstring& password)
    : target_(target) {
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = target_.data();
  credential.UserName = const_cast<wchar_t*>(user.c_str());
  credential.CredentialBlob = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password.data()));
  credential.CredentialBlobSize = static_cast<DWORD>(password.size() * sizeof(wchar_t));
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  stored_ = CredWriteW(&credential, 0) != FALSE;
}

StoredCredential::~StoredCredential() { CredDeleteW(target_.c_str(), CRED_TYPE_GENERIC, 0); }

}  // namespace testing_support
