#pragma once
// SHA-256 and ECDSA P-256 verification of signed releases, through BCrypt.
#include <cstdint>
#include <string>
#include <string_view>

// SHA-256 (32 bytes) and size of a file (8-bit path, code page 936); false
// when it cannot be opened or read whole.
bool Sha256OfFile(const std::string& path, std::string* digest, uint64_t* size);
// The same through a file handle open for reading (a Windows HANDLE), from
// its start.
bool Sha256OfOpenFile(void* file, std::string* digest, uint64_t* size);
bool Sha256OfFile(const std::wstring& path, std::string* digest, uint64_t* size);

// SHA-256 (32 bytes) of bytes in memory; empty when BCrypt failed.
std::string Sha256Of(std::string_view bytes);

// True only when `signature` (raw r||s, 64 bytes) is an ECDSA signature of
// SHA-256(`message`) made with the private half of `publicKey` (the P-256
// point X||Y, 64 bytes).
bool VerifyP256Signature(std::string_view publicKey, std::string_view message,
                         std::string_view signature);
