#pragma once
// Owners of BCrypt's algorithm, hash and key handles (platform/handles.h's
// generic owner with BCrypt's release calls), and the two small helpers
// every BCrypt caller needs.
#include <windows.h>
#include <bcrypt.h>

#include <string_view>

#include "platform/handles.h"

namespace win {

inline bool BCryptOk(NTSTATUS status) { return status >= 0; }

// BCrypt takes non-const buffers where it only reads them.
inline PUCHAR BCryptBytes(std::string_view data) {
  return reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
}

struct BCryptAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::BCryptDestroyHash(h); }
};
struct BCryptKeyTraits {
  using Handle = BCRYPT_KEY_HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::BCryptDestroyKey(h); }
};
using BCryptAlgorithm = Owner<BCryptAlgorithmTraits>;
using BCryptHash = Owner<BCryptHashTraits>;
using BCryptKey = Owner<BCryptKeyTraits>;

}  // namespace win
