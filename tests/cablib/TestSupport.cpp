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
  out = root / "out";
  fs::create_directory(out);
}

Sandbox::~Sandbox() = default;

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
