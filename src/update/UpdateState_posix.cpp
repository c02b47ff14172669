// The update state on Linux: the build's state file, protected as an
// administrator's file is (the policy file's rules), replaced as a whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/BuildConfig.h"
#include "update/UpdateState.h"

namespace quon {

namespace {

// Written only by root or the user who runs the updater: a state that
// another user could change is nobody's.
bool Protected(const struct stat& st) {
  const bool ownerTrusted = st.st_uid == 0 || st.st_uid == geteuid();
  const bool groupTrusted = (st.st_mode & S_IWGRP) == 0 || st.st_gid == 0;
  return ownerTrusted && groupTrusted && (st.st_mode & S_IWOTH) == 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string StateFilePath() { return kStateFile; }

StateReading ReadUpdateState(const std::string& path) {
  StateReading reading;
  reading.path = path;
  // Non-blocking, so that a FIFO under the name cannot hold the run.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      reading.found = true;
      reading.notes.push_back("The update state " + path + " cannot be read: " + std::strerror(errno) + ".");
    }
    return reading;
  }
  reading.found = true;
  struct stat st {};
  struct stat folder {};
  std::string text;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reading.notes.push_back("The update state " + path + " is not a regular file; it is not applied.");
  } else if (stat(FolderOf(path).c_str(), &folder) != 0 || !Protected(st) || !Protected(folder)) {
    reading.notes.push_back("The update state " + path +
                            " or its folder may be changed by other users than root; it is not applied.");
  } else if (st.st_size > static_cast<off_t>(kMaxStateBytes)) {
    reading.notes.push_back("The update state " + path + " is larger than 256 KiB; it is not applied.");
  } else {
    char buffer[4096];
    ssize_t n = 0;
    while (text.size() <= kMaxStateBytes && (n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
    if (n < 0 || text.size() > kMaxStateBytes) {
      reading.notes.push_back("The update state " + path + " cannot be read; it is not applied.");
    } else {
      reading.state = ParseStateText(text, path, reading.notes);
    }
  }
  close(fd);
  return reading;
}

bool WriteUpdateState(const std::string& path, const UpdateState& state, std::string& why) {
  const std::string folder = FolderOf(path);
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    why = "the folder " + folder + " cannot be made: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !Protected(st)) {
    why = "the folder " + folder + " may be changed by other users than root";
    return false;
  }
  if (access(folder.c_str(), W_OK) != 0 || (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0)) {
    why = path + " is not writable by this user";
    return false;
  }
  // A new file beside the old one, renamed over it once complete: a reader
  // sees the old state or the new one, never a part.
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    why = std::string("cannot write in ") + folder + ": " + std::strerror(errno);
    return false;
  }
  const std::string text = FormatStateText(state);
  bool ok = fchmod(fd, 0644) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    why = path + " cannot be written: " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace quon
