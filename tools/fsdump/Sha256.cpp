// SHA-256 through Windows CNG.
#include "tools/fsdump/FsDump.h"

#include <windows.h>
#include <bcrypt.h>

std::string Sha256Hex(const void* data, size_t len) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (ok && len > 0) {
    ULONG chunk = len > 0x40000000 ? 0x40000000 : (ULONG)len;
    ok = BCryptHashData(hash, const_cast<unsigned char*>(p), chunk, 0) == 0;
    p += chunk;
    len -= chunk;
  }
  ok = ok && BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  if (!ok) return "-";
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}
