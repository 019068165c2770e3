#include "release/release_crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "platform/bcrypt_handles.h"
#include "platform/text.h"

namespace {

using win::BCryptBytes;
using win::BCryptOk;

class Sha256 {
 public:
  Sha256() {
    ok_ = BCryptOk(BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
          BCryptOk(BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0));
  }
  void Update(std::string_view data) {
    ok_ = ok_ && BCryptOk(BCryptHashData(hash_.get(), BCryptBytes(data), static_cast<ULONG>(data.size()), 0));
  }
  std::string Finish() {
    unsigned char digest[32] = {};
    if (!ok_ || !BCryptOk(BCryptFinishHash(hash_.get(), digest, sizeof digest, 0))) return {};
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
  }

 private:
  win::BCryptAlgorithm algorithm_;
  win::BCryptHash hash_;
  bool ok_ = false;
};

}  // namespace

// `path` is in the system's code page, as the 8-bit calls named it.
bool Sha256OfFile(const std::string& path, std::string* digest, uint64_t* size) {
  const std::wstring wide = WideFromCodePage(path, CP_ACP, 32768);
  return !wide.empty() && Sha256OfFile(wide, digest, size);
}

bool Sha256OfFile(const std::wstring& wide, std::string* digest, uint64_t* size) {
  win::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  return file && Sha256OfOpenFile(file.get(), digest, size);
}

bool Sha256OfOpenFile(void* file, std::string* digest, uint64_t* size) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  Sha256 hash;
  std::vector<char> buffer(1 << 20);
  uint64_t total = 0;
  DWORD got = 0;
  do {
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
      return false;
    hash.Update(std::string_view(buffer.data(), got));
    total += got;
  } while (got != 0);
  *digest = hash.Finish();
  *size = total;
  return digest->size() == 32;
}

std::string Sha256Of(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.Finish();
}

bool VerifyP256Signature(std::string_view publicKey, std::string_view message,
                         std::string_view signature) {
  if (publicKey.size() != 64 || signature.size() != 64) return false;
  const std::string digest = Sha256Of(message);
  if (digest.size() != 32) return false;

  win::BCryptAlgorithm algorithm;
  if (!BCryptOk(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
    return false;
  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y of 32 bytes each.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey.data(), 64);
  win::BCryptKey key;
  if (!BCryptOk(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob,
                              sizeof blob, 0)))
    return false;
  return BCryptOk(BCryptVerifySignature(key.get(), nullptr, BCryptBytes(digest), 32, BCryptBytes(signature), 64, 0));
}
