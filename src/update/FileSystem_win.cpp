// Windows: list entries name files in the system's own code page and the
// file system finds a name whatever its case, so names pass unchanged; files
// are created and renamed through the Win32 calls, whose errors tell a file
// held open by another program from a refusal.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "update/FileOps.h"
#include "update/FileSystem.h"

namespace quon {

namespace {

std::FILE* AsStdioFile(HANDLE handle) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd == -1) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace

std::FILE* CreateNewFile(const std::string& path, FsFailure& failure) {
  failure = FsFailure::Other;
  if (HasNul(path)) return nullptr;
  const std::wstring wide = FsPath(path).wstring();
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
        GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) {
      failure = FsFailure::Exists;
    } else if (error == ERROR_ACCESS_DENIED) {
      failure = FsFailure::Refused;
    }
    return nullptr;
  }
  std::FILE* file = AsStdioFile(handle);
  if (file == nullptr) {
    DeleteFileW(wide.c_str());
    return nullptr;
  }
  failure = FsFailure::None;
  return file;
}

std::FILE* OpenFileInPlace(const std::string& path) {
  if (HasNul(path)) return nullptr;
  HANDLE handle = CreateFileW(FsPath(path).wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(handle);
    return nullptr;
  }
  return AsStdioFile(handle);
}

// The new file takes the directory's inherited security, as any file created
// there does; only writable targets are replaced, so there is no read-only
// attribute to carry over.
void KeepAccessOf(const std::string&, std::FILE*) {}

namespace {

// Whether `path` is the file this process runs from (the same file, however
// the path spells it).
bool IsRunningExecutable(const std::wstring& path) {
  wchar_t own[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  auto identify = [](const wchar_t* name, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE handle = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return ok;
  };
  return identify(own, a) && identify(path.c_str(), b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The running executable cannot be overwritten, but it can be renamed: it
// is moved aside under a name the start-up clean-up removes
// ("<name>.quonold<k>"), the new file takes its place, and the old one is
// deleted at the next reboot where the system allows that. When the new
// file cannot be put in place the old one goes back.
bool ReplaceRunningExecutable(const std::wstring& from, const std::wstring& to) {
  for (int k = 1; k <= 100; ++k) {
    const std::wstring aside = to + L".quonold" + std::to_wstring(k);
    if (!MoveFileExW(to.c_str(), aside.c_str(), 0)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    if (!MoveFileExW(from.c_str(), to.c_str(), 0)) {
      MoveFileExW(aside.c_str(), to.c_str(), 0);
      return false;
    }
    if (!DeleteFileW(aside.c_str())) MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
  }
  return false;
}

}  // namespace

FsFailure RenameOver(const std::string& from, const std::string& to) {
  if (HasNul(from) || HasNul(to)) return FsFailure::Other;
  const std::wstring source = FsPath(from).wstring();
  const std::wstring target = FsPath(to).wstring();
  if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return FsFailure::None;
  const DWORD error = GetLastError();
  if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && IsRunningExecutable(target) &&
      ReplaceRunningExecutable(source, target)) {
    return FsFailure::None;
  }
  switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
      return FsFailure::Busy;
    default:
      return FsFailure::Other;
  }
}

struct InstallNames::State {
  std::string productDir;
  std::string unpackDir;
  char separator;
};

InstallNames::InstallNames(std::string productDir, std::string unpackDir, char separator)
    : m_state(std::make_unique<State>(State{std::move(productDir), std::move(unpackDir), separator})) {}
InstallNames::~InstallNames() = default;

std::string InstallNames::OnDisk(std::string_view component) { return std::string(component); }

std::string InstallNames::UnpackedFile(std::string_view fileName) {
  const std::string path = m_state->unpackDir + std::string(fileName);
  return IsRegularFile(path) ? path : std::string();
}

// Paths are short here (the system's path limit), so each directory is
// looked up by its whole path.
std::string InstallNames::Target(const std::vector<std::string_view>& dirs, std::string_view fileName) {
  std::string dir = m_state->productDir;
  for (std::string_view part : dirs) {
    const std::string path = dir + std::string(part);
    if (!PathExists(path)) {
      std::error_code ec;
      if (!std::filesystem::create_directory(FsPath(path), ec) || ec) return std::string();
    } else if (!IsDirectoryInside(m_state->productDir, path)) {
      return std::string();
    }
    dir = path + m_state->separator;
  }
  return dir + std::string(fileName);
}

}  // namespace quon
