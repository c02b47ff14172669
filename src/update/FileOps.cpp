#include "update/FileOps.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <thread>
#include <vector>

#include "update/FileSystem.h"

namespace quon {

namespace fs = std::filesystem;

bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(FsPath(path), ec));
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(FsPath(path), ec);
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(FsPath(path), ec);
}

bool IsOwnerWritable(const std::string& path) {
  std::error_code ec;
  fs::file_status status = fs::status(FsPath(path), ec);
  if (ec || !fs::exists(status)) return false;
  return (status.permissions() & fs::perms::owner_write) != fs::perms::none;
}

bool IsDirectoryInside(const std::string& root, const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(FsPath(path), ec);
  if (ec) return false;
  if (!fs::is_symlink(status)) return fs::is_directory(status);
  const fs::path resolved = fs::canonical(FsPath(path), ec);
  if (ec || !fs::is_directory(resolved, ec)) return false;
  const fs::path base = fs::canonical(FsPath(root), ec);
  if (ec) return false;
  return std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end()).first == base.end();
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

namespace {

// A rename refused because the file is held open is tried this many times
// more, this long apart: about a second in all.
constexpr int kBusyRetries = 5;
constexpr std::chrono::milliseconds kBusyRetryPause{200};
// Temporary names tried beside a target.
constexpr int kTemporaryNames = 1000;
constexpr size_t kCopyBufferBytes = 64 * 1024;

// The target may be replaced: absent, or a regular file its owner may write.
bool TargetReplaceable(const std::string& target) {
  return !PathExists(target) || (IsRegularFile(target) && IsOwnerWritable(target));
}

// How many bytes of `content` come from its tail file; false when that file
// cannot be read.
bool TailSize(const NewContent& content, uint64_t& size) {
  size = 0;
  if (content.tailFrom.empty()) return true;
  std::error_code ec;
  const uint64_t whole = fs::file_size(FsPath(content.tailFrom), ec);
  if (ec) return false;
  size = whole > content.tailOffset ? whole - content.tailOffset : 0;
  return true;
}

// Writes `content` to `out` through a fixed buffer, so a file of any size
// is copied in bounded memory.
bool WriteContent(std::FILE* out, const NewContent& content) {
  if (std::fwrite(content.head.data(), 1, content.head.size(), out) != content.head.size()) return false;
  uint64_t tail = 0;
  if (!TailSize(content, tail)) return false;
  if (tail == 0) return true;
  std::ifstream in(FsPath(content.tailFrom), std::ios::binary);
  if (!in.seekg(static_cast<std::streamoff>(content.tailOffset))) return false;
  std::vector<char> buffer(kCopyBufferBytes);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const size_t n = static_cast<size_t>(in.gcount());
    if (n > 0 && std::fwrite(buffer.data(), 1, n, out) != n) return false;
  }
  return !in.bad();
}

// The last resort when the directory takes no new file: the target itself
// is rewritten. The volume must have room for what the file grows by, so
// that a full disk cannot leave it torn part way.
bool WriteInPlace(const std::string& target, const NewContent& content) {
  // A content that keeps the target's own tail where it is needs only its
  // head written.
  const bool headOnly = content.tailFrom == target && content.tailOffset == content.head.size();
  if (content.tailFrom == target && !headOnly) return false;
  std::error_code ec;
  const uint64_t oldSize = fs::file_size(FsPath(target), ec);
  if (ec) return false;
  uint64_t newSize = content.head.size();
  if (headOnly) {
    newSize = std::max<uint64_t>(oldSize, newSize);
  } else {
    uint64_t tail = 0;
    if (!TailSize(content, tail)) return false;
    newSize += tail;
  }
  if (newSize > oldSize) {
    const fs::space_info space = fs::space(FsPath(target).parent_path(), ec);
    if (ec || space.available < newSize - oldSize) return false;
  }
  std::FILE* out = OpenFileInPlace(target);
  if (out == nullptr) return false;
  bool written = WriteContent(out, headOnly ? NewContent{content.head, {}, 0} : content);
  written = std::fclose(out) == 0 && written;
  if (written && newSize < oldSize) fs::resize_file(FsPath(target), newSize, ec);
  return written && !ec;
}

// Renames the complete temporary file over the target, waiting a little
// while another program holds one of them open.
bool RenameIntoPlace(const std::string& temporary, const std::string& target, bool waitWhileBusy) {
  for (int attempt = 0;; ++attempt) {
    const FsFailure failure = RenameOver(temporary, target);
    if (failure == FsFailure::None) return true;
    if (failure != FsFailure::Busy || !waitWhileBusy || attempt == kBusyRetries) return false;
    std::this_thread::sleep_for(kBusyRetryPause);
  }
}

}  // namespace

bool ReplaceFile(const std::string& target, const NewContent& content, bool waitWhileBusy) {
  if (HasNul(target) || HasNul(content.tailFrom) || !TargetReplaceable(target)) return false;
  std::string temporary;
  std::FILE* out = nullptr;
  for (int i = 0; i < kTemporaryNames && out == nullptr; ++i) {
    temporary = target + ".quonupd" + (i == 0 ? std::string() : std::to_string(i));
    FsFailure failure = FsFailure::None;
    out = CreateNewFile(temporary, failure);
    if (out != nullptr || failure == FsFailure::Exists) continue;
    if (failure == FsFailure::Refused && PathExists(target)) return WriteInPlace(target, content);
    return false;
  }
  if (out == nullptr) return false;
  if (PathExists(target)) KeepAccessOf(target, out);
  bool written = WriteContent(out, content);
  written = std::fclose(out) == 0 && written;
  if (written && RenameIntoPlace(temporary, target, waitWhileBusy)) return true;
  std::error_code ec;
  fs::remove(FsPath(temporary), ec);
  return false;
}

bool ReplaceFileFromCopy(const std::string& source, const std::string& target, bool waitWhileBusy) {
  if (HasNul(source) || !IsRegularFile(source)) return false;
  return ReplaceFile(target, NewContent{{}, source, 0}, waitWhileBusy);
}

bool DeleteFileOnly(const std::string& path) {
  std::error_code ec;
  fs::file_status status = fs::symlink_status(FsPath(path), ec);
  if (!fs::exists(status) || fs::is_directory(status)) return false;
  return fs::remove(FsPath(path), ec) && !ec;
}

}  // namespace quon
