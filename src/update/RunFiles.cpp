#include "update/RunFiles.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/CText.h"
#include "update/InstallJournal.h"
#include "update/Installer.h"
#include "update/Pages.h"

namespace quon {

namespace {

// The pieces of the names the update run gives its own files.
constexpr std::string_view kArchiveStem = "update";  // update<n>.000<k>
constexpr std::string_view kArchiveCounterMark = ".000";
constexpr std::string_view kUnpackMark = ".dir";                // <archive>.dir<k>
constexpr std::string_view kReplacedFileMark = ".quonold";      // <running executable>.quonold<k>

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

bool WriteVersionFile(FileSystem& fs, const std::string& path, const uint16_t words[4]) {
  char head[8];
  for (int i = 0; i < 4; ++i) {
    head[2 * i] = static_cast<char>(words[i] & 0xFF);
    head[2 * i + 1] = static_cast<char>(words[i] >> 8);
  }
  const PathParts parts = SplitPath(path);
  std::unique_ptr<FsDir> dir;
  if (parts.name.empty() || fs.OpenRoot(parts.dir, dir) != FsError::None) return false;
  // The bytes after the eighth are streamed from the old file into the new
  // one, however long it is.
  return ReplaceFileContent(fs, *dir, parts.name, NewContent{std::string_view(head, sizeof head), true, sizeof head},
                            true);
}

namespace {

// Deletes the entries of the subdirectory `name` of `parent` that are not
// directories (links are removed, never followed), at most `budget` of them
// looked at, then the directory itself, which stays while anything is left
// in it. Nothing happens when `name` is a link. True when it is gone.
bool EmptyAndRemoveDirectory(FileSystem& fs, FsDir& parent, const std::string& name, size_t& budget) {
  {
    std::unique_ptr<FsDir> dir;
    if (fs.OpenDir(parent, name, dir) != FsError::None) return false;
    std::vector<FsEntry> entries;
    fs.List(*dir, budget, entries);
    budget -= std::min(budget, entries.size());
    for (const FsEntry& entry : entries) {
      if (entry.type != FsType::Directory) fs.Delete(*dir, entry.name);
    }
  }                                                    // its handle goes before it is removed
  return fs.RemoveDir(parent, name) == FsError::None;  // fails quietly while anything remains
}

}  // namespace

void RemoveUnpackedAndArchive(FileSystem& fs, const std::string& unpackDir, const std::string& archivePath) {
  // Each is removed only when it is what the run made: a directory, a file.
  auto remove = [&fs](const std::string& path, FsType type) {
    const PathParts parts = SplitPath(EndsWithSeparator(path) ? path.substr(0, path.size() - 1) : path);
    std::unique_ptr<FsDir> parent;
    FsInfo info;
    if (parts.name.empty() || fs.OpenRoot(parts.dir, parent) != FsError::None ||
        fs.Stat(*parent, parts.name, info) != FsError::None || info.type != type) {
      return;
    }
    if (type == FsType::File) {
      fs.Delete(*parent, parts.name);
    } else {
      size_t unbounded = SIZE_MAX;  // the run's own directory, however full
      EmptyAndRemoveDirectory(fs, *parent, parts.name, unbounded);
    }
  };
  if (!unpackDir.empty()) remove(unpackDir, FsType::Directory);
  if (!archivePath.empty()) remove(archivePath, FsType::File);
}

size_t RemoveLeftoversOfEarlierRuns(FileSystem& fs, const std::string& productDir, size_t maxEntries) {
  std::unique_ptr<FsDir> root;
  if (productDir.empty() || fs.OpenRoot(productDir, root) != FsError::None) return 0;
  size_t budget = maxEntries;
  size_t removed = 0;
  // Directories still to look into: each by its parent, opened when its
  // turn comes, and its depth below the product directory. Links are never
  // followed (OpenDir refuses them).
  struct Pending {
    std::shared_ptr<FsDir> parent;
    std::string name;
    int depth;
  };
  std::vector<Pending> pending;
  std::shared_ptr<FsDir> top(std::move(root));
  pending.push_back(Pending{nullptr, std::string(), 0});
  while (!pending.empty() && budget > 0) {
    const Pending current = std::move(pending.back());
    pending.pop_back();
    std::shared_ptr<FsDir> dir = top;
    if (current.parent) {
      std::unique_ptr<FsDir> opened;
      if (fs.OpenDir(*current.parent, current.name, opened) != FsError::None) continue;
      dir = std::move(opened);
    }
    const bool atTop = current.depth == 0;
    std::vector<FsEntry> entries;
    fs.List(*dir, budget, entries);
    budget -= std::min(budget, entries.size());
    for (const FsEntry& entry : entries) {
      const std::string& name = entry.name;
      if (entry.type == FsType::File) {
        if (IsInstallTemporaryName(name) ||
            (atTop && (IsArchiveName(name) || IsReplacedExecutableName(name) || name == kPageFileName))) {
          removed += fs.Delete(*dir, name) == FsError::None ? 1 : 0;
        }
      } else if (entry.type == FsType::Directory) {
        if (atTop && IsUnpackDirectoryName(name)) {
          removed += EmptyAndRemoveDirectory(fs, *dir, name, budget) ? 1 : 0;
        } else if (atTop && name == kBackupFolderName) {
          continue;  // the last installation's backup is no leftover: only the next installation replaces it
        } else if (current.depth < kMaxLeftoverScanDepth) {
          pending.push_back(Pending{dir, name, current.depth + 1});
        }
      }
    }
  }
  return removed;
}

}  // namespace quon
