#include <windows.h>

#include <bcrypt.h>

#include "net/ArchiveDigest.h"

namespace quon {

struct ArchiveDigest::State {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
  State() {
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) alg = nullptr;
  }
  ~State() {
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  }
};

ArchiveDigest::ArchiveDigest() : m_state(std::make_unique<State>()) { Reset(); }

ArchiveDigest::~ArchiveDigest() = default;

void ArchiveDigest::Reset() {
  if (m_state->hash) BCryptDestroyHash(m_state->hash);
  m_state->hash = nullptr;
  m_state->ok =
      m_state->alg != nullptr && BCryptCreateHash(m_state->alg, &m_state->hash, nullptr, 0, nullptr, 0, 0) == 0;
}

void ArchiveDigest::Update(const char* data, size_t n) {
  if (m_state->ok &&
      BCryptHashData(m_state->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), static_cast<ULONG>(n), 0) != 0) {
    m_state->ok = false;
  }
}

std::string ArchiveDigest::HexDigest() {
  unsigned char digest[32];
  if (!m_state->ok || BCryptFinishHash(m_state->hash, digest, sizeof digest, 0) != 0) return std::string();
  m_state->ok = false;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

}  // namespace quon
