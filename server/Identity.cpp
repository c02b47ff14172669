#include "Identity.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>

namespace quon::server {

namespace {

// SHA-256 of the parts, each preceded by its length, so that no two lists
// of texts give the same input.
void Digest(std::initializer_list<const std::string*> parts, unsigned char out[SHA256_DIGEST_LENGTH]) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  for (const std::string* part : parts) {
    const uint64_t n = part->size();
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(n >> (8 * i));
    EVP_DigestUpdate(ctx, length, sizeof length);
    EVP_DigestUpdate(ctx, part->data(), part->size());
  }
  EVP_DigestFinal_ex(ctx, out, nullptr);
  EVP_MD_CTX_free(ctx);
}

}  // namespace

std::string Identity::Hash() const {
  static const std::string kPurpose = "installation";
  unsigned char digest[SHA256_DIGEST_LENGTH];
  Digest({&kPurpose, &keyId, &keyType, &keyVersion}, digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return std::string(hex, 32);
}

uint32_t Identity::RolloutBucket(uint32_t updateId) const {
  static const std::string kPurpose = "rollout";
  const std::string update = std::to_string(updateId);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  Digest({&kPurpose, &update, &keyId, &keyType, &keyVersion}, digest);
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | digest[i];
  return static_cast<uint32_t>(value % 10000);
}

}  // namespace quon::server
