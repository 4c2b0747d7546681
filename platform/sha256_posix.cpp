// SHA-256 for POSIX systems through OpenSSL's EVP digest interface: the library every
// distribution keeps patched, with the CPU's SHA instructions where there are any.
#include "platform/platform.h"

#include <openssl/evp.h>  // EVP_MD_CTX_new, EVP_DigestInit_ex, EVP_DigestUpdate, EVP_sha256

#include <cstdio>  // std::snprintf

platform_sha256::platform_sha256() : impl(nullptr), failed(false) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    failed = true;
    return;
  }
  impl = context;
}

platform_sha256::~platform_sha256() {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(impl));
}

bool platform_sha256_update(platform_sha256& hash, const void* data, std::size_t length) {
  if (hash.failed || hash.impl == nullptr) {
    hash.failed = true;
    return false;
  }
  if (length > 0 && EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(hash.impl), data, length) != 1) {
    hash.failed = true;
  }
  return !hash.failed;
}

std::string platform_sha256_hex(platform_sha256& hash) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = !hash.failed && hash.impl != nullptr &&
                  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(hash.impl), digest, &length) == 1 &&
                  length == 32;
  // A finished context must not be fed again: later calls fail like after an error.
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
