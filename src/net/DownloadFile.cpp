#include "net/DownloadFile.h"

#include <cerrno>
#include <climits>
#include <filesystem>

#include "base/FsPath.h"

namespace quon {

DownloadFile::~DownloadFile() {
  if (m_file) std::fclose(m_file);
}

int DownloadFile::Open(const std::string& path, bool truncate) {
  m_path = path;
  if (truncate) {
    m_file = OpenFile(path, "wb");
  } else {
    m_file = OpenFile(path, "r+b");
    if (!m_file && errno == ENOENT) m_file = OpenFile(path, "w+b");
  }
  if (!m_file) return errno ? errno : EIO;
  std::setvbuf(m_file, nullptr, _IONBF, 0);
  return 0;
}

void DownloadFile::Seek(int64_t position) {
  if (position > static_cast<int64_t>(LONG_MAX) || std::fseek(m_file, static_cast<long>(position), SEEK_SET) != 0)
    throw FileException(FileCause::BadSeek, m_path);
}

void DownloadFile::Write(const char* data, size_t n) {
  errno = 0;
  if (std::fwrite(data, 1, n, m_file) != n) throw FileException(FileCauseOf(errno ? errno : EIO), m_path);
}

void DownloadFile::Finish(bool setLength, uint64_t length) {
  int failed = std::fclose(m_file);
  int error = errno;
  m_file = nullptr;
  if (failed != 0) throw FileException(FileCauseOf(error ? error : EIO), m_path);
  if (setLength) {
    std::error_code ec;
    std::filesystem::resize_file(FsPath(m_path), length, ec);
    if (ec) throw FileException(FileCauseOf(ec.value()), m_path);
  }
}

}  // namespace quon
