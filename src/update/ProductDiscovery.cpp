#include "update/ProductDiscovery.h"

#include "base/CText.h"
#include "base/FileSystem.h"

namespace quon {

std::string DirectoryPartOf(const std::string& path, std::string_view separators) {
  size_t last = FindLastSeparator(path, separators);
  if (last == std::string::npos) return std::string();
  return path.substr(0, last + 1);
}

ProductVersion ParseProductVersionText(std::string text) {
  for (char& ch : text) {
    if (ch == ',') ch = '.';
  }
  std::string compact;
  compact.reserve(text.size());
  for (char ch : text) {
    if (ch != ' ') compact += ch;
  }
  auto find = [&compact](long long from) -> long long {
    if (from < 0) from = 0;
    size_t pos = compact.find('.', static_cast<size_t>(from));
    return pos == std::string::npos ? -1 : static_cast<long long>(pos);
  };
  const long long p1 = find(0);
  const long long p2 = find(p1 + 1);
  const long long p3 = find(p2 + 1);

  ProductVersion v;
  v.a = CAtoi(MidPiece(compact, 0, p1));
  v.b = CAtoi(MidPiece(compact, p1 + 1, p2 - p1 - 1));
  v.c = CAtoi(MidPiece(compact, p2 + 1, p3 - p2 - 1));
  v.d = CAtoi(MidPiece(compact, p3 + 1));
  if (v.c == 0) {
    v.c = v.d;
    v.d = 0;
  }
  return v;
}

bool ReadProductVersion(Platform& platform, const std::string& path, std::string& versionText,
                        ProductVersion& version) {
  versionText.clear();
  if (!platform.QueryProductVersionString(path, versionText)) return false;
  version = ParseProductVersionText(versionText);
  return true;
}

uint16_t ReadVersionFileBuild(const std::string& path, bool& fullRead) {
  fullRead = false;
  std::string text;
  if (!ReadFileStart(SystemFileSystem(), path, 8, text) || text.size() != 8) return 0;
  fullRead = true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  return static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
}

std::string FormatInstalledVersion(const ProductVersion& v) {
  return std::to_string(v.a) + "." + std::to_string(v.b) + "." + std::to_string(v.d) + "." + std::to_string(v.c);
}

}  // namespace quon
