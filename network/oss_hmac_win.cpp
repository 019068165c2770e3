#include <windows.h>
#include <bcrypt.h>

#include "network/oss_hmac.h"
#include "network/oss_signer.h"
#include "platform/bcrypt_handles.h"

namespace AlibabaCloud::OSS {

using win::BCryptBytes;
using win::BCryptOk;

std::string HmacSha1(std::string_view key, std::string_view message) {
  win::BCryptAlgorithm algorithm;
  if (!BCryptOk(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA1_ALGORITHM, nullptr,
                                      BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    return {};
  win::BCryptHash hash;
  if (!BCryptOk(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, BCryptBytes(key),
                                 static_cast<ULONG>(key.size()), 0)))
    return {};
  if (!BCryptOk(BCryptHashData(hash.get(), BCryptBytes(message), static_cast<ULONG>(message.size()), 0)))
    return {};
  unsigned char digest[20] = {};
  if (!BCryptOk(BCryptFinishHash(hash.get(), digest, sizeof digest, 0))) return {};
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string SignV1(std::string_view accessKeySecret, std::string_view stringToSign) {
  return Base64Encode(HmacSha1(accessKeySecret, stringToSign));
}

}  // namespace AlibabaCloud::OSS
