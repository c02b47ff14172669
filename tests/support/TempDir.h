// A fresh directory under the system's temporary directory, removed with
// everything in it (read-only entries included) when the object goes.
#pragma once
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace quon::test {

// Writes `bytes` as the whole file, making its directories.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    std::mt19937_64 generator(random());
    for (;;) {
      char name[40];  // always of one length, so that tests can plan path lengths
      std::snprintf(name, sizeof name, "quon-test-%016llx", static_cast<unsigned long long>(generator()));
      m_root = std::filesystem::temp_directory_path() / name;
      std::error_code ec;
      if (std::filesystem::create_directory(m_root, ec)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(m_root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(m_root, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Root() const { return m_root; }
  // The directory with a trailing separator, as the update session keeps it.
  std::string Dir() const { return (m_root / "").string(); }
  std::string Path(const std::string& relative) const { return (m_root / std::filesystem::path(relative)).string(); }

  void Write(const std::string& relative, const std::string& bytes) const { WriteFile(Path(relative), bytes); }
  std::string Read(const std::string& relative) const { return ReadFile(Path(relative)); }
  // Anything of that name, a dangling link too.
  bool Exists(const std::string& relative) const {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(m_root / std::filesystem::path(relative), ec));
  }

 private:
  std::filesystem::path m_root;
};

}  // namespace quon::test
