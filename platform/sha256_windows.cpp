// SHA-256 for Windows through CNG (bcrypt.dll), which every Windows since Vista has: the
// self-contained .exe needs no cryptography library of its own.
#include "platform/platform.h"

#include <windows.h>  // NTSTATUS, ULONG, PUCHAR
#include <bcrypt.h>   // BCryptOpenAlgorithmProvider, BCryptCreateHash, BCryptHashData

#include <cstdio>  // std::snprintf

namespace {

// The algorithm provider and the hash object together, so one pointer owns both.
struct cng_hash {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

void release(cng_hash* state) {
  if (state == nullptr) {
    return;
  }
  if (state->hash != nullptr) {
    BCryptDestroyHash(state->hash);
  }
  if (state->algorithm != nullptr) {
    BCryptCloseAlgorithmProvider(state->algorithm, 0);
  }
  delete state;
}

}  // namespace

platform_sha256::platform_sha256() : impl(nullptr), failed(false) {
  cng_hash* state = new cng_hash;
  if (!succeeded(
          BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !succeeded(BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0))) {
    release(state);
    failed = true;
    return;
  }
  impl = state;
}

platform_sha256::~platform_sha256() {
  release(static_cast<cng_hash*>(impl));
}

bool platform_sha256_update(platform_sha256& hash, const void* data, std::size_t length) {
  if (hash.failed || hash.impl == nullptr) {
    hash.failed = true;
    return false;
  }
  cng_hash* state = static_cast<cng_hash*>(hash.impl);
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  // BCryptHashData takes a ULONG length: feed larger buffers in pieces.
  while (length > 0) {
    const ULONG piece = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
    if (!succeeded(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0))) {
      hash.failed = true;
      return false;
    }
    bytes += piece;
    length -= piece;
  }
  return true;
}

std::string platform_sha256_hex(platform_sha256& hash) {
  unsigned char digest[32];
  const bool ok = !hash.failed && hash.impl != nullptr &&
                  succeeded(BCryptFinishHash(static_cast<cng_hash*>(hash.impl)->hash, digest,
                                             sizeof digest, 0));
  hash.failed = true;
  if (!ok) {
    return "";
  }
  std::string hex(64, '0');
  for (unsigned i = 0; i < 32; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex[2 * i] = pair[0];
    hex[2 * i + 1] = pair[1];
  }
  return hex;
}
