#pragma once
// Which way a request goes: straight to the server, or through a proxy, as
// the current user's Windows settings say (Internet Options: a fixed proxy
// with its bypass list, automatic detection (WPAD), a PAC script URL).
// Chosen per request target; the answer for a scheme and host is kept for
// the client's lifetime, so a PAC script is run once per host.
#include <windows.h>
#include <winhttp.h>

#include <map>
#include <mutex>
#include <string>

namespace AlibabaCloud::OSS::detail {

struct ProxySettings {
  bool autoDetect = false;
  std::wstring autoConfigUrl;  // PAC script
  std::wstring proxy;          // WinHTTP proxy list: "host:port" or "http=h:p;https=h:p"
  std::wstring bypass;         // "<local>;*.corp;10.*"
};

// The current user's settings (WinHttpGetIEProxyConfigForCurrentUser);
// none when the call fails.
ProxySettings CurrentUserProxySettings();

struct ProxyChoice {
  std::wstring proxy;   // empty: direct
  std::wstring bypass;  // as WinHTTP takes it with the proxy
  std::wstring source;  // how it was chosen, for the log: "pac", "wpad", "fixed"
};

// The proxy of `list` for a scheme: the "scheme=" entry, else the first
// entry without a scheme; empty when none applies. Portable text work.
std::wstring ProxyForScheme(const std::wstring& list, bool https);

// Whether `host` is on the bypass list: entries separated by ';' or
// blanks, '*' matching any run of characters, case-insensitive, and
// "<local>" for names without a dot. Portable text work.
bool HostBypassed(const std::wstring& bypass, const std::wstring& host);

class ProxyRoute {
 public:
  explicit ProxyRoute(ProxySettings settings) : settings_(std::move(settings)) {}
  bool Configured() const {
    return settings_.autoDetect || !settings_.autoConfigUrl.empty() || !settings_.proxy.empty();
  }
  // The proxy for a request to scheme://host:port/; `session` runs the
  // automatic discovery and the PAC script (WinHttpGetProxyForUrl).
  ProxyChoice For(HINTERNET session, bool https, const std::string& host, uint16_t port);

 private:
  ProxySettings settings_;
  // Guards chosen_; requests of several threads share the route.
  std::mutex chosenLock_;
  std::map<std::wstring, ProxyChoice> chosen_;
};

}  // namespace AlibabaCloud::OSS::detail
