// File work of the update session on top of std::filesystem. Paths are
// 8-bit texts; FsPath is the one place they become filesystem paths.
#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace quon {

std::filesystem::path FsPath(const std::string& path);

// Anything of that name exists: a file, a directory, or a link (even one
// that points nowhere), as the attribute query counts it.
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
// True when the entry exists and its permission bits allow the owner to
// write it. Checked explicitly, so a read-only file counts as read-only for
// a privileged user too.
bool IsOwnerWritable(const std::string& path);

// Writes `bytes` as the whole content of `path` in binary mode (created or
// truncated). False when the file cannot be created or written.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

// Replaces `target` with a copy of `source` so that an interruption never
// leaves a half-written target: the copy goes to a temporary name beside
// the target and is then renamed over it. Fails (leaving the target as it
// was) when the source is not a regular file, the target exists and is not
// a regular file or is read-only, or the copy or the rename fails.
bool ReplaceFileFromCopy(const std::string& source, const std::string& target);

// Replaces (or creates) `target` with `bytes` the same way: complete new
// file under a temporary name, then renamed over. Fails when an existing
// target is not a writable regular file.
bool ReplaceFileContent(const std::string& target, std::string_view bytes);

// Deletes a file (not a directory); false when nothing was deleted.
bool DeleteFileOnly(const std::string& path);

}  // namespace quon
