#include "update/UpdateFiles.h"

#include <cstdint>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "base/CText.h"
#include "update/FileOps.h"

namespace quon {

namespace fs = std::filesystem;

namespace {

// The pieces of the names the update run gives its own files.
constexpr std::string_view kArchiveStem = "update";         // update<n>.000<k>
constexpr std::string_view kArchiveCounterMark = ".000";
constexpr std::string_view kUnpackMark = ".dir";            // <archive>.dir<k>
constexpr std::string_view kInstallTemporaryMark = ".quonupd";  // <target>.quonupd<k>
constexpr std::string_view kReplacedFileMark = ".quonold";      // <running executable>.quonold<k>
constexpr std::string_view kPageFile = "QuonUpdateLast.html";

// Decimal digits as std::to_string writes a positive int32: no sign, no
// leading zero, at most 2147483647.
bool IsPositiveCounter(std::string_view text) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + static_cast<uint64_t>(ch - '0');
  }
  return value <= 2147483647u;
}

// Any int32 as std::to_string writes it.
bool IsInt32Text(std::string_view text) {
  if (text == "0") return true;
  if (!text.empty() && text[0] == '-') {
    text.remove_prefix(1);
    return text == "2147483648" || IsPositiveCounter(text);
  }
  return IsPositiveCounter(text);
}

// Empty or a positive counter: the suffix a chooser appends.
bool IsOptionalCounter(std::string_view text) { return text.empty() || IsPositiveCounter(text); }

}  // namespace

std::string ChooseArchivePath(const std::string& productDir, int32_t update, const NameTaken& taken) {
  const std::string stem =
      productDir + std::string(kArchiveStem) + std::to_string(update) + std::string(kArchiveCounterMark);
  std::string path = stem + "0";
  for (int32_t counter = 1; taken(path) && counter > 0; ++counter) path = stem + std::to_string(counter);
  return path;
}

std::string ChooseUnpackDirectory(const std::string& archivePath, const NameTaken& taken) {
  const std::string stem = archivePath + std::string(kUnpackMark);
  std::string path = stem;
  for (int32_t counter = 1; taken(path) && counter > 0; ++counter) path = stem + std::to_string(counter);
  return path;
}

bool IsArchiveName(std::string_view name) {
  if (name.substr(0, kArchiveStem.size()) != kArchiveStem) return false;
  name.remove_prefix(kArchiveStem.size());
  const size_t mark = name.find(kArchiveCounterMark);
  if (mark == std::string_view::npos || !IsInt32Text(name.substr(0, mark))) return false;
  const std::string_view counter = name.substr(mark + kArchiveCounterMark.size());
  return counter == "0" || IsPositiveCounter(counter);
}

bool IsUnpackDirectoryName(std::string_view name) {
  const size_t mark = name.rfind(kUnpackMark);
  return mark != std::string_view::npos && IsArchiveName(name.substr(0, mark)) &&
         IsOptionalCounter(name.substr(mark + kUnpackMark.size()));
}

bool IsInstallTemporaryName(std::string_view name) {
  const size_t mark = name.rfind(kInstallTemporaryMark);
  return mark != std::string_view::npos && mark > 0 &&
         IsOptionalCounter(name.substr(mark + kInstallTemporaryMark.size()));
}

bool IsReplacedExecutableName(std::string_view name) {
  const size_t mark = name.rfind(kReplacedFileMark);
  return mark != std::string_view::npos && mark > 0 && IsPositiveCounter(name.substr(mark + kReplacedFileMark.size()));
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
  char head[8];
  for (int i = 0; i < 4; ++i) {
    head[2 * i] = static_cast<char>(words[i] & 0xFF);
    head[2 * i + 1] = static_cast<char>(words[i] >> 8);
  }
  // The bytes after the eighth are streamed from the old file into the new
  // one, however long it is.
  NewContent content{std::string_view(head, sizeof head), {}, 0};
  if (PathExists(path)) {
    content.tailFrom = path;
    content.tailOffset = sizeof head;
  }
  return ReplaceFile(path, content);
}

namespace {

// Deletes the entries of `dir` that are not directories (links are removed,
// never followed), at most `budget` of them looked at, then the directory
// itself, which stays while anything is left in it.
void EmptyAndRemoveDirectory(const fs::path& dir, size_t& budget) {
  std::vector<fs::path> doomed;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end && budget > 0; it.increment(ec)) {
    --budget;
    std::error_code statusError;
    if (it->symlink_status(statusError).type() != fs::file_type::directory) doomed.push_back(it->path());
  }
  for (const fs::path& path : doomed) fs::remove(path, ec);
  fs::remove(dir, ec);  // fails quietly while anything remains
}

}  // namespace

void RemoveUnpackedAndArchive(const std::string& unpackDir, const std::string& archivePath) {
  if (!unpackDir.empty() && IsDirectory(unpackDir)) {
    size_t unbounded = SIZE_MAX;  // the run's own directory, however full
    EmptyAndRemoveDirectory(FsPath(unpackDir), unbounded);
  }
  if (!archivePath.empty() && IsRegularFile(archivePath)) DeleteFileOnly(archivePath);
}

size_t RemoveLeftoversOfEarlierRuns(const std::string& productDir, size_t maxEntries) {
  if (productDir.empty()) return 0;
  size_t budget = maxEntries;
  size_t removed = 0;
  // Directories still to look into, with their depth below the product
  // directory; links to directories are never followed.
  std::vector<std::pair<fs::path, int>> pending{{FsPath(productDir), 0}};
  while (!pending.empty() && budget > 0) {
    const auto [dir, depth] = pending.back();
    pending.pop_back();
    std::vector<fs::path> files, unpackDirs;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end && budget > 0; it.increment(ec)) {
      --budget;
      const std::string name = PathText(it->path().filename());
      std::error_code statusError;
      const fs::file_type type = it->symlink_status(statusError).type();
      if (type == fs::file_type::regular) {
        if (IsInstallTemporaryName(name) ||
            (depth == 0 && (IsArchiveName(name) || IsReplacedExecutableName(name) || name == kPageFile)))
          files.push_back(it->path());
      } else if (type == fs::file_type::directory) {
        if (depth == 0 && IsUnpackDirectoryName(name)) {
          unpackDirs.push_back(it->path());
        } else if (depth < kMaxLeftoverScanDepth) {
          pending.emplace_back(it->path(), depth + 1);
        }
      }
    }
    for (const fs::path& file : files) removed += fs::remove(file, ec) ? 1 : 0;
    for (const fs::path& unpack : unpackDirs) {
      EmptyAndRemoveDirectory(unpack, budget);
      removed += fs::exists(fs::symlink_status(unpack, ec)) ? 0 : 1;
    }
  }
  return removed;
}

}  // namespace quon
