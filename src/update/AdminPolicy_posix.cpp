// The administrator's policy on Linux: the build's policy file, protected
// as an administrator's file is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/BuildConfig.h"
#include "update/AdminPolicy.h"

namespace quon {

namespace {

PolicyReading Failed(const std::string& path, const std::string& why) {
  PolicyReading reading;
  reading.ok = false;
  reading.found = true;
  reading.source = path;
  reading.error = "The administrator's policy " + path + " " + why + ".";
  return reading;
}

// Written only by root or the user who runs the updater: a file that
// another user could change is nobody's policy.
bool Protected(const struct stat& st) {
  const bool ownerTrusted = st.st_uid == 0 || st.st_uid == geteuid();
  const bool groupTrusted = (st.st_mode & S_IWGRP) == 0 || st.st_gid == 0;
  return ownerTrusted && groupTrusted && (st.st_mode & S_IWOTH) == 0;
}

}  // namespace

PolicyReading ReadAdminPolicy(bool httpsOnly) {
  const std::string path = kPolicyFile;
  // Non-blocking, so that a FIFO under the name cannot hold the start.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      PolicyReading none;
      none.source = path;
      return none;
    }
    return Failed(path, std::string("cannot be read: ") + std::strerror(errno));
  }
  struct stat st {};
  struct stat folder {};
  const std::string dir = path.substr(0, path.find_last_of('/') + 1);
  std::string text;
  PolicyReading result;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result = Failed(path, "is not a regular file");
  } else if (stat(dir.empty() ? "." : dir.c_str(), &folder) != 0 || !Protected(st) || !Protected(folder)) {
    result = Failed(path, "or its folder may be changed by other users than root; it is not taken as a policy");
  } else if (st.st_size > static_cast<off_t>(kMaxPolicyBytes)) {
    result = Failed(path, "is larger than 64 KiB");
  } else {
    char buffer[4096];
    ssize_t n = 0;
    while (text.size() <= kMaxPolicyBytes && (n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
    if (n < 0) {
      result = Failed(path, std::string("cannot be read: ") + std::strerror(errno));
    } else if (text.size() > kMaxPolicyBytes) {
      result = Failed(path, "is larger than 64 KiB");
    } else {
      result = ParsePolicyFile(text, path, httpsOnly);
    }
  }
  close(fd);
  return result;
}

}  // namespace quon
