#pragma once
// Proxies for Windows tests under Wine: tools/proxy_server.py (plain
// forwarding, CONNECT, Basic authentication, a PAC script at /proxy.pac),
// the current user's proxy settings as Internet Options stores them, and a
// stored credential. The settings are the prefix's, shared by every test
// that runs at the same time: tests that change them run alone (RUN_SERIAL)
// and put the earlier value back.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/oss_server.h"

namespace testing_support {

class ProxyServerProcess {
 public:
  // Empty `user`: no authentication. `pacScript` ("{PORT}" becomes the
  // proxy's port, "{PROXY}" its address()) is served at /proxy.pac and
  // /wpad.dat when not empty. With `wpadName` the proxy listens on port 80,
  // where automatic discovery looks for the script, and answers DNS
  // queries for that name with 127.0.0.1 (both need the test run's own
  // network and resolver).
  ProxyServerProcess(const std::string& user, const std::string& password, const std::string& pacScript,
                     const std::string& wpadName = "");
  ProxyServerProcess(const ProxyServerProcess&) = delete;
  ProxyServerProcess& operator=(const ProxyServerProcess&) = delete;
  bool running() const { return server_.port() != 0; }
  uint16_t port() const { return server_.port(); }
  // "localhost:<port>": Wine's WinHTTP takes a proxy whose name is the
  // server's own (127.0.0.1 for both) for the server itself and talks to it
  // directly, so the proxy goes by another name of the same address.
  std::string address() const { return "localhost:" + std::to_string(port()); }
  // "METHOD\ttarget\tstatus\tauth|-" per request so far, and
  // "DNS\tname\ttype\tanswers" per name query.
  std::vector<std::string> Requests() const;

 private:
  ScriptServer server_{"proxy_server"};
};

// HKCU ...\Internet Settings\Connections "DefaultConnectionSettings" for
// the life of the object; the earlier value (or its absence) comes back.
class UserProxySettings {
 public:
  static constexpr DWORD kDirect = 1, kProxy = 2, kPacScript = 4, kAutoDetect = 8;
  UserProxySettings(DWORD flags, const std::string& proxy, const std::string& bypass, const std::string& pacUrl);
  ~UserProxySettings();
  UserProxySettings(const UserProxySettings&) = delete;
  UserProxySettings& operator=(const UserProxySettings&) = delete;

 private:
  bool hadValue_ = false;
  std::vector<BYTE> saved_;
};

// A generic credential in Credential Manager, deleted with the object.
class StoredCredential {
 public:
  StoredCredential(const std::wstring& target, const std::wstring& user, const std::wstring& password);
  ~StoredCredential();
  StoredCredential(const StoredCredential&) = delete;
  StoredCredential& operator=(const StoredCredential&) = delete;
  bool stored() const { return stored_; }

 private:
  std::wstring target_;
  bool stored_ = false;
};

}  // namespace testing_support
