#include "update/FileOps.h"

#include <fstream>
#include <system_error>

namespace quon {

namespace fs = std::filesystem;

fs::path FsPath(const std::string& path) { return fs::path(path); }

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

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

namespace {

// A name beside `target` that nothing uses yet.
std::string TemporarySibling(const std::string& target) {
  for (int i = 0; i < 1000; ++i) {
    std::string candidate = target + ".quonupd" + (i == 0 ? std::string() : std::to_string(i));
    if (!PathExists(candidate)) return candidate;
  }
  return std::string();
}

// The target may be replaced: absent, or a regular file its owner may write.
bool TargetReplaceable(const std::string& target) {
  std::error_code ec;
  fs::file_status status = fs::symlink_status(FsPath(target), ec);
  if (!fs::exists(status)) return true;
  if (fs::is_symlink(status)) status = fs::status(FsPath(target), ec);
  if (!fs::is_regular_file(status)) return false;
  return (status.permissions() & fs::perms::owner_write) != fs::perms::none;
}

bool RenameOver(const std::string& temporary, const std::string& target) {
  std::error_code ec;
  fs::rename(FsPath(temporary), FsPath(target), ec);
  if (ec) {
    fs::remove(FsPath(temporary), ec);
    return false;
  }
  return true;
}

}  // namespace

bool ReplaceFileFromCopy(const std::string& source, const std::string& target) {
  if (!IsRegularFile(source)) return false;
  if (!TargetReplaceable(target)) return false;
  std::string temporary = TemporarySibling(target);
  if (temporary.empty()) return false;
  std::error_code ec;
  if (!fs::copy_file(FsPath(source), FsPath(temporary), fs::copy_options::overwrite_existing, ec) || ec) {
    fs::remove(FsPath(temporary), ec);
    return false;
  }
  return RenameOver(temporary, target);
}

bool ReplaceFileContent(const std::string& target, std::string_view bytes) {
  if (!TargetReplaceable(target)) return false;
  std::string temporary = TemporarySibling(target);
  if (temporary.empty()) return false;
  if (!WriteWholeFile(temporary, bytes)) {
    std::error_code ec;
    fs::remove(FsPath(temporary), ec);
    return false;
  }
  return RenameOver(temporary, target);
}

bool DeleteFileOnly(const std::string& path) {
  std::error_code ec;
  fs::file_status status = fs::symlink_status(FsPath(path), ec);
  if (!fs::exists(status) || fs::is_directory(status)) return false;
  return fs::remove(FsPath(path), ec) && !ec;
}

}  // namespace quon
