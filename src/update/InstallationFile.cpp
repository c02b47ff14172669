#include "update/InstallationFile.h"

#include "base/CText.h"
#include "base/FileSystem.h"

namespace quon {

const char kInstallationFileName[] = "Quon.Installation";

namespace {
// A real installation file holds a few lines; what is beyond this is not read.
constexpr size_t kMaxInstallationFileBytes = size_t(64) << 10;
}  // namespace

namespace {

// A decimal number that is nothing else, within [min, max].
bool ParseStrictInteger(std::string_view text, int64_t min, int64_t max, int64_t& value) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 10) return false;
  int64_t magnitude = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    magnitude = magnitude * 10 + (ch - '0');
  }
  value = negative ? -magnitude : magnitude;
  return value >= min && value <= max;
}

}  // namespace

InstallationInfo ParseInstallationText(std::string_view text) {
  InstallationInfo info;
  for (std::string_view rest = text, line; NextLine(rest, line);) {
    line = Trim(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string key = AsciiUpper(Trim(line.substr(0, equals)));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (key == "KEYID") {
      int64_t id = 0;
      if (ParseStrictInteger(value, 0, 0xFFFFFFFFLL, id)) info.identity.id = static_cast<uint32_t>(id);
    } else if (key == "KEYTYPE") {
      info.identity.type = std::string(value);
    } else if (key == "KEYVERSION") {
      info.identity.version = std::string(value);
    } else if (key == "MODULES") {
      info.modules.clear();
      size_t pos = 0;
      while (pos <= value.size()) {
        size_t comma = value.find(',', pos);
        std::string_view item = value.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
        int64_t module = 0;
        if (ParseStrictInteger(item, INT32_MIN, INT32_MAX, module)) info.modules.push_back(static_cast<int32_t>(module));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
      }
    }
  }
  return info;
}

InstallationInfo ReadInstallationFile(const std::string& path) {
  std::string text;
  if (!ReadFileStart(SystemFileSystem(), path, kMaxInstallationFileBytes, text)) return InstallationInfo{};
  return ParseInstallationText(text);
}

}  // namespace quon
