#include <windows.h>
#include <bcrypt.h>

#include "transfer/bcrypt_handles.h"
#include "transfer/oss_hmac.h"
#include "transfer/oss_signer.h"

namespace AlibabaCloud::OSS {
namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

}  // namespace

std::string HmacSha1(std::string_view key, std::string_view message) {
  win::BCryptAlgorithm algorithm;
  if (!Ok(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA1_ALGORITHM, nullptr,
                                      BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    return {};
  win::BCryptHash hash;
  // BCrypt takes non-const buffers but does not write to them.
  if (!Ok(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0,
                           reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                           static_cast<ULONG>(key.size()), 0)))
    return {};
  if (!Ok(BCryptHashData(hash.get(),
                         reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                         static_cast<ULONG>(message.size()), 0)))
    return {};
  unsigned char digest[20] = {};
  if (!Ok(BCryptFinishHash(hash.get(), digest, sizeof digest, 0))) return {};
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string SignV1(std::string_view accessKeySecret, std::string_view stringToSign) {
  return Base64Encode(HmacSha1(accessKeySecret, stringToSign));
}

}  // namespace AlibabaCloud::OSS
