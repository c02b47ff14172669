#include <openssl/evp.h>

#include "net/ArchiveDigest.h"

namespace quon {

struct ArchiveDigest::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = false;
  ~State() { EVP_MD_CTX_free(context); }
};

ArchiveDigest::ArchiveDigest() : m_state(std::make_unique<State>()) { Reset(); }

ArchiveDigest::~ArchiveDigest() = default;

void ArchiveDigest::Reset() {
  m_state->ok = m_state->context != nullptr && EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) == 1;
}

void ArchiveDigest::Update(const char* data, size_t n) {
  if (m_state->ok && EVP_DigestUpdate(m_state->context, data, n) != 1) m_state->ok = false;
}

std::string ArchiveDigest::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!m_state->ok || EVP_DigestFinal_ex(m_state->context, digest, &length) != 1) return std::string();
  m_state->ok = false;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

}  // namespace quon
