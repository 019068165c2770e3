#pragma once
// HMAC-SHA1 from the platform's cryptography (BCrypt).
#include <string>
#include <string_view>

namespace AlibabaCloud::OSS {

// The 20-byte digest; empty when the platform refuses.
std::string HmacSha1(std::string_view key, std::string_view message);

// base64(HMAC-SHA1(secret, stringToSign)): the signature of a request.
std::string SignV1(std::string_view accessKeySecret, std::string_view stringToSign);

}  // namespace AlibabaCloud::OSS
