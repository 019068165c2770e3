#include "network/oss_signer.h"
#include "network/text_trim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <vector>

namespace AlibabaCloud::OSS {
namespace {

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// Sub-resources that take part in the signature; the service ignores every
// other query parameter when it checks one.
const std::set<std::string>& SignedParameters() {
  static const std::set<std::string> names = {
      "acl", "uploads", "location", "cors", "logging", "website", "referer", "lifecycle",
      "delete", "append", "tagging", "objectMeta", "uploadId", "partNumber", "security-token",
      "position", "img", "style", "styleName", "replication", "replicationProgress",
      "replicationLocation", "cname", "bucketInfo", "comp", "qos", "live", "status", "vod",
      "startTime", "endTime", "symlink", "x-oss-process", "response-content-type",
      "response-content-language", "response-expires", "response-cache-control",
      "response-content-disposition", "response-content-encoding", "udf", "udfName",
      "udfImage", "udfId", "udfImageDesc", "udfApplication", "udfApplicationLog", "restore",
      "callback", "callback-var", "policy", "stat", "encryption", "versions", "versioning",
      "versionId", "x-oss-traffic-limit", "requestPayment", "qosInfo", "inventory",
      "inventoryId", "continuation-token", "worm", "wormId", "wormExtend"};
  return names;
}

constexpr const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back;
// done by hand so that neither the C library's time zone nor its locale
// plays any part.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool Digits(std::string_view s, size_t pos, size_t count, int& value) {
  value = 0;
  if (pos + count > s.size()) return false;
  for (size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

}  // namespace

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += "%20";
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string ToGmtTime(std::time_t t) {
  const int64_t secs = static_cast<int64_t>(t);
  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  const int64_t wd = ((days % 7) + 11) % 7;  // 1970-01-01 was a Thursday
  char buf[64] = {};
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04lld %02d:%02d:%02d GMT", kDays[wd], d,
                kMonths[m - 1], static_cast<long long>(y), static_cast<int>(rem / 3600),
                static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
  return buf;
}

bool UtcToUnixTime(std::string_view s, std::time_t& out) {
  // YYYY-MM-DDTHH:MM:SS.mmmZ
  int y, mo, d, h, mi, se, ms;
  if (s.size() != 24 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
      s[16] != ':' || s[19] != '.' || s[23] != 'Z')
    return false;
  if (!Digits(s, 0, 4, y) || !Digits(s, 5, 2, mo) || !Digits(s, 8, 2, d) ||
      !Digits(s, 11, 2, h) || !Digits(s, 14, 2, mi) || !Digits(s, 17, 2, se) ||
      !Digits(s, 20, 3, ms))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return false;
  out = static_cast<std::time_t>(DaysFromCivil(y, static_cast<unsigned>(mo),
                                               static_cast<unsigned>(d)) * 86400 +
                                 h * 3600 + mi * 60 + se);
  return true;
}

std::string CanonicalResource(const std::string& bucket, const std::string& key,
                              const ParameterCollection& parameters) {
  std::string out = "/";
  if (!bucket.empty()) out += bucket + "/";
  out += key;
  char separator = '?';
  for (const auto& [name, value] : parameters) {
    if (SignedParameters().count(name) == 0) continue;
    out += separator;
    out += name;
    if (!value.empty()) out += "=" + value;
    separator = '&';
  }
  return out;
}

std::string StringToSign(const std::string& verb, const HeaderCollection& headers,
                         const std::string& canonicalResource) {
  auto value = [&](const char* name) -> std::string {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  };
  std::string out = verb + "\n" + value("Content-MD5") + "\n" + value("Content-Type") + "\n" +
                    value("Date") + "\n";
  std::vector<std::pair<std::string, std::string>> ossHeaders;
  for (const auto& [name, v] : headers) {
    const std::string lower = ToLower(Trim(name));
    if (lower.rfind("x-oss-", 0) == 0) ossHeaders.emplace_back(lower, std::string(Trim(v)));
  }
  std::sort(ossHeaders.begin(), ossHeaders.end());
  for (const auto& [name, v] : ossHeaders) out += name + ":" + v + "\n";
  return out + canonicalResource;
}

std::string Base64Encode(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool IsIp(std::string_view host) {
  int parts = 0;
  size_t pos = 0;
  while (true) {
    size_t digits = 0;
    int value = 0;
    while (pos < host.size() && host[pos] >= '0' && host[pos] <= '9' && digits < 4) {
      value = value * 10 + (host[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (pos == host.size()) return parts == 4;
    if (host[pos] != '.' || parts == 4) return false;
    ++pos;
  }
}

bool IsValidBucketName(std::string_view b) {
  if (b.size() < 3 || b.size() > 63) return false;
  auto ok = [](char c, bool edge) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (!edge && c == '-');
  };
  for (size_t i = 0; i < b.size(); ++i)
    if (!ok(b[i], i == 0 || i + 1 == b.size())) return false;
  return true;
}

bool IsValidObjectKey(std::string_view key) {
  return !key.empty() && key.size() <= 1023 && key.front() != '\\';
}

bool BuildRequestTarget(const std::string& endpoint, const std::string& bucket,
                        const std::string& key, const ParameterCollection& parameters,
                        bool isCname, RequestTarget& target) {
  std::string_view rest = endpoint;
  target = RequestTarget{};
  const std::string lower = ToLower(endpoint);
  // TLS unless the endpoint names plain HTTP itself: packages are unpacked
  // and started with administrator rights, so nobody on the path may swap
  // them.
  target.https = true;
  if (lower.rfind("https://", 0) == 0) {
    rest.remove_prefix(8);
  } else if (lower.rfind("http://", 0) == 0) {
    target.https = false;
    rest.remove_prefix(7);
  }
  rest = rest.substr(0, rest.find('/'));
  std::string_view host = rest;
  const size_t colon = rest.find(':');
  if (colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    const std::string_view port = rest.substr(colon + 1);
    int value = 0;
    if (port.empty() || port.size() > 5 || !Digits(port, 0, port.size(), value) ||
        value == 0 || value > 65535)
      return false;
    target.port = static_cast<uint16_t>(value);
  }
  if (host.empty()) return false;
  for (const char c : host) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  std::string path = "/";
  if (isCname) {
    target.host = std::string(host);
  } else if (IsIp(host)) {
    target.host = std::string(host);
    if (!bucket.empty()) path += bucket + "/";
  } else {
    target.host = bucket.empty() ? std::string(host) : bucket + "." + std::string(host);
  }
  path += UrlEncode(key);
  char separator = '?';
  for (const auto& [name, value] : parameters) {
    path += separator;
    path += UrlEncode(name);
    if (!value.empty()) path += "=" + UrlEncode(value);
    separator = '&';
  }
  target.path = path;
  return true;
}

}  // namespace AlibabaCloud::OSS
