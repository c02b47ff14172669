#include "base/SystemError.h"

#include <cerrno>
#include <iterator>

#include "base/DisplayText.h"

namespace quon {
namespace {

struct ErrorCause {
  int error;
  FileCause cause;
};

// errno values and their causes. EDQUOT is not known everywhere.
constexpr ErrorCause kErrorCauses[] = {
    {ENOENT, FileCause::NotFound},         {ENOTDIR, FileCause::BadPath},
    {ENAMETOOLONG, FileCause::BadPath},    {EINVAL, FileCause::BadPath},
    {EMFILE, FileCause::TooManyOpenFiles}, {ENFILE, FileCause::TooManyOpenFiles},
    {EACCES, FileCause::AccessDenied},     {EPERM, FileCause::AccessDenied},
    {EISDIR, FileCause::AccessDenied},     {EROFS, FileCause::AccessDenied},
    {EBUSY, FileCause::SharingViolation},  {ENOSPC, FileCause::DiskFull},
#ifdef EDQUOT
    {EDQUOT, FileCause::DiskFull},
#endif
    {EFBIG, FileCause::DiskFull},          {EIO, FileCause::HardIO},
};

}  // namespace

FileCause FileCauseOf(int error) {
  for (const ErrorCause& entry : kErrorCauses) {
    if (entry.error == error) return entry.cause;
  }
  return FileCause::Generic;
}

const char* FileCauseMessage(FileCause cause) {
  switch (cause) {
    case FileCause::NotFound:
      return "%1 was not found.";
    case FileCause::BadPath:
      return "%1 contains an invalid path.";
    case FileCause::TooManyOpenFiles:
      return "%1 could not be opened because there are too many open files.";
    case FileCause::AccessDenied:
      return "Access to %1 was denied.";
    case FileCause::SharingViolation:
      return "A sharing violation occurred while accessing %1.";
    case FileCause::DiskFull:
      return "Disk full while accessing %1.";
    case FileCause::HardIO:
      return "A hardware I/O error was reported while accessing %1.";
    case FileCause::BadSeek:
      return "Seek failed on %1";
    case FileCause::Generic:
      break;
  }
  return "An unexpected error occurred while accessing %1.";
}

std::string FileErrorMessage(FileCause cause, const std::string& path) {
  std::string text = FileCauseMessage(cause);
  const size_t at = text.find("%1");
  // The path may be a list file's entry: its start and end are what tell.
  if (at != std::string::npos) text.replace(at, 2, ShortenPath(path));
  return text;
}

}  // namespace quon
