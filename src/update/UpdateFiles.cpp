#include "update/UpdateFiles.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "update/CText.h"
#include "update/FileOps.h"

namespace quon {

namespace fs = std::filesystem;

std::string ChooseArchivePath(const std::string& productDir, int32_t update, const NameTaken& taken) {
  const std::string stem = productDir + "update" + std::to_string(update) + ".000";
  std::string path = stem + "0";
  for (int32_t counter = 1; taken(path) && counter > 0; ++counter) path = stem + std::to_string(counter);
  return path;
}

std::string ChooseUnpackDirectory(const std::string& archivePath, const NameTaken& taken) {
  std::string path = archivePath + ".dir";
  for (int32_t counter = 1; taken(path) && counter > 0; ++counter) path = archivePath + ".dir" + std::to_string(counter);
  return path;
}

bool ParseVersionWords(const std::string& text, uint16_t words[4]) {
  uint16_t parsed[4] = {0, 0, 0, 0};
  int word = 0;
  bool digits = false;
  uint32_t value = 0;
  for (char ch : text) {
    if (ch == ' ') continue;
    if (ch == '.') {
      if (!digits || word == 3) return false;
      parsed[word++] = static_cast<uint16_t>(value);
      digits = false;
      value = 0;
    } else if (ch >= '0' && ch <= '9') {
      value = value * 10 + static_cast<uint32_t>(ch - '0');
      if (value > 0xFFFF) return false;
      digits = true;
    } else {
      return false;
    }
  }
  if (!digits || word != 3) return false;
  parsed[3] = static_cast<uint16_t>(value);
  for (int i = 0; i < 4; ++i) words[i] = parsed[i];
  return true;
}

bool WriteVersionFile(const std::string& path, const uint16_t words[4]) {
  std::string content;
  if (PathExists(path)) {
    if (!IsRegularFile(path) || !IsOwnerWritable(path)) return false;
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
  }
  if (content.size() < 8) content.resize(8);
  for (int i = 0; i < 4; ++i) {
    content[2 * i] = static_cast<char>(words[i] & 0xFF);
    content[2 * i + 1] = static_cast<char>(words[i] >> 8);
  }
  return ReplaceFileContent(path, content);
}

void RemoveUnpackedAndArchive(const std::string& unpackDir, const std::string& archivePath) {
  std::error_code ec;
  if (!unpackDir.empty() && IsDirectory(unpackDir)) {
    for (fs::directory_iterator it(FsPath(unpackDir), ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code statusError;
      if (it->symlink_status(statusError).type() == fs::file_type::directory) continue;
      fs::remove(it->path(), statusError);
    }
    fs::remove(FsPath(unpackDir), ec);  // fails quietly while subdirectories remain
  }
  if (!archivePath.empty() && IsRegularFile(archivePath)) DeleteFileOnly(archivePath);
}

}  // namespace quon
