#include "support/proxy_support.h"

#include <wincred.h>

#include <sstream>

#include "support/oss_server.h"
#include "support/test_support.h"

namespace testing_support {

namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kSettingsValue[] = L"DefaultConnectionSettings";

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
                                       const std::string& pacScript, const std::string& wpadName) {
  using Q = ScriptServer;
  std::string arguments;
  if (!user.empty()) arguments += "--user " + Q::Quote(user) + " --password " + Q::Quote(password);
  if (!pacScript.empty()) {
    WriteFileBytes(server_.File("proxy.pac"), pacScript);
    arguments += " --pac-file " + Q::Quote(server_.UnixFile("proxy.pac"));
  }
  if (!wpadName.empty()) arguments += " --port 80 --wpad-name " + Q::Quote(wpadName);
  server_.Start("tools/proxy_server.py", arguments, "proxy.log", 120);
}

std::vector<std::string> ProxyServerProcess::Requests() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(server_.File("requests.log")));
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
