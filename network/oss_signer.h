#pragma once
// Request signing and addressing of the object store (header signature V1).
// Portable: the HMAC itself is the platform's (oss_hmac.h); everything here
// is plain text work.
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

#include "network/http_response.h"

namespace AlibabaCloud::OSS {

// Query parameters in byte order of the name; an empty value is sent bare.
using ParameterCollection = std::map<std::string, std::string>;

// Percent-encodes every byte except A-Z a-z 0-9 - _ . ~ ; '/' becomes %2F
// and a space %20, with upper-case hex.
std::string UrlEncode(std::string_view text);

// "Wed, 19 Aug 2020 06:46:54 GMT" for a UTC time, independent of the locale.
std::string ToGmtTime(std::time_t t);

// Reads "2019-03-30T13:18:53.000Z" (the milliseconds are required) into a
// UTC time; false when the text has another shape.
bool UtcToUnixTime(std::string_view text, std::time_t& out);

// "/bucket/key" followed by the signed sub-resources in name order.
std::string CanonicalResource(const std::string& bucket, const std::string& key,
                              const ParameterCollection& parameters);

// VERB, Content-MD5, Content-Type, Date, the x-oss-* headers (lower-cased
// names, trimmed values, sorted) and the canonical resource.
std::string StringToSign(const std::string& verb, const HeaderCollection& headers,
                         const std::string& canonicalResource);

std::string Base64Encode(std::string_view bytes);

// Where a request goes: path style for an IPv4 endpoint, virtual-hosted
// (bucket.host) otherwise, the host alone for a custom domain.
struct RequestTarget {
  bool https = true;  // false only for an explicit http:// endpoint
  std::string host;   // without port
  uint16_t port = 0;  // 0: the scheme's default
  std::string path;   // percent-encoded, with the query
};

// False when the endpoint's host has characters other than A-Z a-z 0-9 . _ -
// or its port is not a number.
bool BuildRequestTarget(const std::string& endpoint, const std::string& bucket,
                        const std::string& key, const ParameterCollection& parameters,
                        bool isCname, RequestTarget& target);

bool IsIp(std::string_view host);
bool IsValidBucketName(std::string_view bucket);
bool IsValidObjectKey(std::string_view key);

}  // namespace AlibabaCloud::OSS
