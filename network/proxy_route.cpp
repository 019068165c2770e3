#include "network/proxy_route.h"

#include <vector>

namespace AlibabaCloud::OSS::detail {

namespace {

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::vector<std::wstring> Entries(const std::wstring& list) {
  std::vector<std::wstring> out;
  std::wstring entry;
  for (const wchar_t c : list + L";") {
    if (c == L';' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
      if (!entry.empty()) out.push_back(entry);
      entry.clear();
    } else {
      entry += c;
    }
  }
  return out;
}

bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
  if (*pattern == L'\0') return *text == L'\0';
  if (*pattern == L'*') {
    for (const wchar_t* t = text;; ++t) {
      if (WildcardMatch(pattern + 1, t)) return true;
      if (*t == L'\0') return false;
    }
  }
  return *text != L'\0' && Lower(*pattern) == Lower(*text) && WildcardMatch(pattern + 1, text + 1);
}

// Owns what WinHTTP allocates in its proxy records.
void FreeText(wchar_t* text) {
  if (text != nullptr) GlobalFree(text);
}
std::wstring Take(wchar_t* text) {
  std::wstring value = text != nullptr ? text : L"";
  FreeText(text);
  return value;
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

ProxySettings CurrentUserProxySettings() {
  ProxySettings settings;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return settings;
  settings.autoDetect = config.fAutoDetect != FALSE;
  settings.autoConfigUrl = Take(config.lpszAutoConfigUrl);
  settings.proxy = Take(config.lpszProxy);
  settings.bypass = Take(config.lpszProxyBypass);
  return settings;
}

std::wstring ProxyForScheme(const std::wstring& list, bool https) {
  const std::wstring wanted = https ? L"https=" : L"http=";
  std::wstring plain;
  for (const std::wstring& entry : Entries(list)) {
    const size_t equals = entry.find(L'=');
    if (equals == std::wstring::npos) {
      if (plain.empty()) plain = entry;
      continue;
    }
    bool match = entry.size() > wanted.size();
    for (size_t i = 0; match && i < wanted.size(); ++i) match = Lower(entry[i]) == wanted[i];
    if (match) return entry.substr(wanted.size());
  }
  // "http://host:port" names the proxy's own scheme; WinHTTP wants the host.
  if (plain.rfind(L"http://", 0) == 0) plain = plain.substr(7);
  return plain;
}

bool HostBypassed(const std::wstring& bypass, const std::wstring& host) {
  for (const std::wstring& entry : Entries(bypass)) {
    if (entry == L"<local>") {
      if (host.find(L'.') == std::wstring::npos) return true;
      continue;
    }
    if (WildcardMatch(entry.c_str(), host.c_str())) return true;
  }
  return false;
}

ProxyChoice ProxyRoute::For(HINTERNET session, bool https, const std::string& host, uint16_t port) {
  const std::wstring url = std::wstring(https ? L"https://" : L"http://") + Widen(host) +
                           (port != 0 ? L":" + std::to_wstring(port) : L"") + L"/";
  {
    std::lock_guard<std::mutex> lock(chosenLock_);
    const auto known = chosen_.find(url);
    if (known != chosen_.end()) return known->second;
  }
  ProxyChoice choice;
  bool decided = false;
  if (session != nullptr && (settings_.autoDetect || !settings_.autoConfigUrl.empty())) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (!settings_.autoConfigUrl.empty()) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = settings_.autoConfigUrl.c_str();
    }
    if (settings_.autoDetect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
      const std::wstring list = Take(info.lpszProxy);
      const std::wstring bypassList = Take(info.lpszProxyBypass);
      if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !list.empty()) {
        choice.proxy = ProxyForScheme(list, https);
        choice.bypass = bypassList;
      }
      choice.source = settings_.autoConfigUrl.empty() ? L"wpad" : L"pac";
      decided = true;
    }
  }
  // Without a script, or when it cannot be had or run, Windows falls back
  // to the fixed proxy.
  if (!decided && !settings_.proxy.empty() && !HostBypassed(settings_.bypass, Widen(host))) {
    choice.proxy = ProxyForScheme(settings_.proxy, https);
    choice.bypass = settings_.bypass;
    choice.source = L"fixed";
  }
  std::lock_guard<std::mutex> lock(chosenLock_);
  chosen_[url] = choice;
  return choice;
}

}  // namespace AlibabaCloud::OSS::detail
