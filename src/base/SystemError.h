// The one table that turns the system error of a failed file operation into
// the message the user sees. Both the download and the reading of the list
// file tell their file failures with it.
#pragma once
#include <string>

namespace quon {

// Causes of a local file failure, each with its standard message.
enum class FileCause {
  Generic,
  NotFound,
  BadPath,
  TooManyOpenFiles,
  AccessDenied,
  SharingViolation,
  DiskFull,
  HardIO,
  BadSeek
};

// The cause an errno value stands for; Generic for any other.
FileCause FileCauseOf(int error);
// The standard message of `cause`, with %1 standing for the path.
const char* FileCauseMessage(FileCause cause);
// The standard message of `cause` for `path`.
std::string FileErrorMessage(FileCause cause, const std::string& path);

}  // namespace quon
