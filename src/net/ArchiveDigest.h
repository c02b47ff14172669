// The SHA-256 of a downloaded archive, fed block by block as the blocks are
// written, so that the archive is never held in memory. OpenSSL on Linux
// (ArchiveDigest_posix.cpp), BCrypt on Windows (ArchiveDigest_win.cpp).
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quon {

class ArchiveDigest {
 public:
  ArchiveDigest();
  ~ArchiveDigest();
  ArchiveDigest(const ArchiveDigest&) = delete;
  ArchiveDigest& operator=(const ArchiveDigest&) = delete;

  // Starts again with nothing hashed.
  void Reset();
  void Update(const char* data, size_t n);
  // The digest of everything fed since the last Reset, as 64 lowercase hex
  // digits; empty when the system could not compute it (which matches no
  // digest a server gives).
  std::string HexDigest();

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// True for 64 lowercase hex digits, the form a server gives `sha256` in.
bool IsSha256Hex(std::string_view text);

}  // namespace quon
