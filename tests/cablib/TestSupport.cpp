#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace cabtest {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

Sandbox::Sandbox() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (;;) {
    root = fs::temp_directory_path() /
           ("cablib-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    if (fs::create_directory(root)) break;
  }
  out = root / "out";
  fs::create_directory(out);
}

Sandbox::~Sandbox() {
  std::error_code ec;
  // Read-only leftovers would keep Windows from removing the tree.
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
  }
  fs::remove_all(root, ec);
}

fs::path Sandbox::WriteArchive(const std::string& bytes, const std::string& name) const {
  WriteFile(root / name, bytes);
  return root / name;
}

std::vector<std::string> Sandbox::Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace cabtest
