// Windows: a directory is held by a handle that denies renaming and
// deleting it (and a held subdirectory holds its parents too), so the path
// of an entry keeps naming what was checked. Whether a name is a link is
// asked of the name's attributes (FILE_ATTRIBUTE_REPARSE_POINT), before
// and after a directory is opened, and of the open handle; a reparse point
// is never opened, listed into or written through. Renames replace with
// MOVEFILE_WRITE_THROUGH and files are flushed with FlushFileBuffers; the
// system has no flush of a directory's names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <utility>

#include "base/FileSystem.h"
#include "base/FsPath.h"

namespace quon {

namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which the toolchain's headers lack.
constexpr DWORD kDiskQuotaExceeded = 1295;

FsError ErrorOf(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return FsError::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return FsError::NotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
      return FsError::Exists;
    case ERROR_CANT_ACCESS_FILE:
    case ERROR_CANT_RESOLVE_FILENAME:
      return FsError::IsLink;
    case ERROR_DIRECTORY:
      return FsError::WrongType;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return FsError::Refused;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return FsError::Busy;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded:
      return FsError::DiskFull;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
      return FsError::IoError;
    default:
      return FsError::Other;
  }
}

FsError LastError() { return ErrorOf(GetLastError()); }

// Names the system would read as something else: a device (CON, NUL,
// COM1, ... whatever follows a dot), or a name whose trailing dots and
// blanks it drops.
bool IsDeviceName(const std::wstring& name) {
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" || base == L"CONOUT$") {
    return true;
  }
  // COM1-COM9 and LPT1-LPT9, and with the superscript digits one, two and
  // three, which the system takes for the same devices.
  const bool port = base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0);
  return port && ((base[3] >= L'1' && base[3] <= L'9') || base[3] == L'\u00B9' || base[3] == L'\u00B2' ||
                  base[3] == L'\u00B3');
}

// One name inside a directory, taken by the system as written.
bool ToPlainName(const std::string& name, std::wstring& wide) {
  if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos) return false;
  wide = FsPath(name).wstring();
  if (wide.empty() || wide.find_first_of(L"\\/:*?\"<>|") != std::wstring::npos) return false;
  if (wide.back() == L'.' || wide.back() == L' ') return false;
  return !IsDeviceName(wide);
}

// The handles that hold a directory and its parents.
class HandleChain {
 public:
  HandleChain() = default;
  HandleChain(HandleChain&& other) noexcept : m_handles(std::move(other.m_handles)) {}
  HandleChain(const HandleChain&) = delete;
  HandleChain& operator=(const HandleChain&) = delete;
  ~HandleChain() {
    for (HANDLE h : m_handles) CloseHandle(h);
  }
  // A chain of its own holding what `other` holds.
  static HandleChain CopyOf(const HandleChain& other) {
    HandleChain copy;
    for (HANDLE h : other.m_handles) {
      HANDLE duplicate = nullptr;
      if (DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        copy.m_handles.push_back(duplicate);
      }
    }
    return copy;
  }
  void Add(HANDLE h) { m_handles.push_back(h); }
  // The directory's own handle.
  HANDLE Last() const { return m_handles.empty() ? INVALID_HANDLE_VALUE : m_handles.back(); }

 private:
  std::vector<HANDLE> m_handles;
};

class WinDir : public FsDir {
 public:
  WinDir(std::string path, std::wstring wide, HandleChain chain)
      : FsDir(std::move(path)), wide(std::move(wide)), chain(std::move(chain)) {}
  const std::wstring wide;  // ends in a backslash
  HandleChain chain;        // this directory's handle and its parents'
};

class WinFile : public FsFile {
 public:
  WinFile(std::string path, HANDLE handle) : FsFile(std::move(path)), handle(handle) {}
  ~WinFile() override {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  HANDLE handle;
};

WinDir& Win(FsDir& dir) { return static_cast<WinDir&>(dir); }
HANDLE Handle(FsFile& file) { return static_cast<WinFile&>(file).handle; }

// A directory handle that lets others read and add entries, never rename
// or delete it.
HANDLE OpenDirectoryHandle(const std::wstring& path, bool followLink) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

bool HandleAttributes(HANDLE handle, DWORD& attributes) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  attributes = info.dwFileAttributes;
  return true;
}

// Security for what only this process's user may open: its user and the
// system, nothing inherited. Null when it cannot be made (the object then
// gets the directory's inherited security).
SECURITY_ATTRIBUTES* PrivateSecurity() {
  static std::once_flag once;
  static SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  std::call_once(once, [] {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    LPWSTR sid = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      const std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")(A;OICI;FA;;;SY)";
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        attributes.lpSecurityDescriptor = descriptor;  // kept for the process's life
      }
      LocalFree(sid);
    }
    CloseHandle(token);
  });
  return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

// Whether the object behind `handle` is owned by this process's user, or by
// the Administrators group while the process is an administrator (Windows
// gives an elevated administrator's new files to the group).
bool OwnedByThisUser(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (handle == INVALID_HANDLE_VALUE ||
      GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool own = false;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    own = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
          EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    CloseHandle(token);
  }
  if (!own) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof administrators;
    BOOL member = FALSE;
    own = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) &&
          EqualSid(owner, administrators) && CheckTokenMembership(nullptr, administrators, &member) && member;
  }
  LocalFree(descriptor);
  return own;
}

// The path of the existing file `name` of `dir`, when the name's
// attributes say it is neither a link nor a directory.
FsError ExistingFilePath(FsDir& dir, const std::string& name, std::wstring& path) {
  std::wstring wideName;
  if (!ToPlainName(name, wideName)) return FsError::BadName;
  path = Win(dir).wide + wideName;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FsError::IsLink;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FsError::WrongType : FsError::None;
}

// Whether the access list of `path` holds any entry.
bool InheritedSomething(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return true;  // not known: left as it is
  }
  const bool entries = dacl == nullptr || dacl->AceCount > 0;
  LocalFree(descriptor);
  return entries;
}

// Gives `path` the default access list of this process's token: what a
// file made without an inherited list gets.
FsError SetDefaultAccess(const std::wstring& path) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return LastError();
  DWORD size = 0;
  GetTokenInformation(token, TokenDefaultDacl, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  const bool got = size > 0 && GetTokenInformation(token, TokenDefaultDacl, buffer.data(), size, &size);
  CloseHandle(token);
  PACL dacl = got ? reinterpret_cast<TOKEN_DEFAULT_DACL*>(buffer.data())->DefaultDacl : nullptr;
  if (dacl == nullptr) return FsError::Other;
  return ErrorOf(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, dacl, nullptr));
}

// Whether `path` is the file this process runs from (the same file, however
// the path spells it).
bool IsRunningExecutable(const std::wstring& path) {
  wchar_t own[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  auto identify = [](const wchar_t* name, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE handle = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                0, nullptr);
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
    if (!MoveFileExW(to.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
      MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
      return false;
    }
    if (!DeleteFileW(aside.c_str())) MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
  }
  return false;
}

class WinFileSystem : public FileSystem {
 public:
  FsError OpenRoot(const std::string& path, std::unique_ptr<FsDir>& dir) override {
    if (path.empty() || path.find('\0') != std::string::npos) return FsError::NotFound;
    std::wstring wide = FsPath(path).wstring();
    if (wide.empty()) return FsError::NotFound;
    if (wide.back() != L'\\' && wide.back() != L'/') wide += L'\\';
    HANDLE handle = OpenDirectoryHandle(wide, true);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    DWORD attributes = 0;
    if (!HandleAttributes(handle, attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      CloseHandle(handle);
      return FsError::WrongType;
    }
    HandleChain chain;
    chain.Add(handle);
    const char last = path.back();
    dir = std::make_unique<WinDir>(last == '\\' || last == '/' ? path : path + "\\", std::move(wide), std::move(chain));
    return FsError::None;
  }

  FsError OpenDir(FsDir& parent, const std::string& name, std::unique_ptr<FsDir>& dir, const FsDir*) override {
    std::wstring wideName;
    if (!ToPlainName(name, wideName)) return FsError::BadName;
    const std::wstring path = Win(parent).wide + wideName;
    const DWORD before = GetFileAttributesW(path.c_str());
    if (before == INVALID_FILE_ATTRIBUTES) return LastError();
    if (before & FILE_ATTRIBUTE_REPARSE_POINT) return FsError::IsLink;
    if ((before & FILE_ATTRIBUTE_DIRECTORY) == 0) return FsError::WrongType;
    HANDLE handle = OpenDirectoryHandle(path, false);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    // What was opened, and what the name stands for now that it is held,
    // must both be a plain directory.
    DWORD held = 0;
    const DWORD after = GetFileAttributesW(path.c_str());
    if (!HandleAttributes(handle, held) || (held & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (held & FILE_ATTRIBUTE_DIRECTORY) == 0 || after == INVALID_FILE_ATTRIBUTES ||
        (after & FILE_ATTRIBUTE_REPARSE_POINT)) {
      CloseHandle(handle);
      return FsError::IsLink;
    }
    HandleChain chain = HandleChain::CopyOf(Win(parent).chain);
    chain.Add(handle);
    dir = std::make_unique<WinDir>(parent.Path() + name + "\\", path + L"\\", std::move(chain));
    return FsError::None;
  }

  FsError MakeDir(FsDir& parent, const std::string& name, bool privateToUser) override {
    std::wstring wideName;
    if (!ToPlainName(name, wideName)) return FsError::BadName;
    const std::wstring path = Win(parent).wide + wideName;
    return CreateDirectoryW(path.c_str(), privateToUser ? PrivateSecurity() : nullptr) ? FsError::None : LastError();
  }

  FsError RemoveDir(FsDir& parent, const std::string& name) override {
    std::wstring wideName;
    if (!ToPlainName(name, wideName)) return FsError::BadName;
    const std::wstring path = Win(parent).wide + wideName;
    return RemoveDirectoryW(path.c_str()) ? FsError::None : LastError();
  }

  // The private security a directory or file is made with keeps others
  // from renaming, replacing or writing it; what is checked here is that it
  // is this user's own: another user who made it could have given it any
  // security.
  bool IsPrivate(FsDir& dir) override { return OwnedByThisUser(Win(dir).chain.Last()); }
  bool IsPrivate(FsFile& file) override { return OwnedByThisUser(Handle(file)); }

  FsError Stat(FsDir& dir, const std::string& name, FsInfo& info) override {
    std::wstring wideName;
    if (!ToPlainName(name, wideName)) return FsError::BadName;
    const std::wstring path = Win(dir).wide + wideName;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return LastError();
    const DWORD a = data.dwFileAttributes;
    info.type = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? FsType::Link
                : (a & FILE_ATTRIBUTE_DIRECTORY)   ? FsType::Directory
                                                   : FsType::File;
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.ownerWritable = (a & FILE_ATTRIBUTE_READONLY) == 0;
    return FsError::None;
  }

  FsError List(FsDir& dir, size_t maxEntries, std::vector<FsEntry>& entries) override {
    entries.clear();
    WIN32_FIND_DATAW found;
    HANDLE find =
        FindFirstFileExW((Win(dir).wide + L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
      return GetLastError() == ERROR_FILE_NOT_FOUND ? FsError::None : LastError();
    }
    size_t looked = 0;
    do {
      const std::wstring wide = found.cFileName;
      if (wide == L"." || wide == L"..") continue;
      ++looked;
      std::string name;
      if (!NameText(std::filesystem::path(wide), name)) continue;
      const DWORD a = found.dwFileAttributes;
      const FsType type = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? FsType::Link
                          : (a & FILE_ATTRIBUTE_DIRECTORY)   ? FsType::Directory
                                                             : FsType::File;
      entries.push_back(FsEntry{name, type});
    } while (looked < maxEntries && FindNextFileW(find, &found));
    const DWORD error = GetLastError();
    FindClose(find);
    return looked >= maxEntries || error == ERROR_NO_MORE_FILES ? FsError::None : ErrorOf(error);
  }

  FsError CreateFile(FsDir& dir, const std::string& name, bool privateToUser, std::unique_ptr<FsFile>& file) override {
    std::wstring wideName;
    if (!ToPlainName(name, wideName)) return FsError::BadName;
    const std::wstring path = Win(dir).wide + wideName;
    HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    privateToUser ? PrivateSecurity() : nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // A name held by something being deleted, or by a link, is taken.
      if (error == ERROR_ACCESS_DENIED && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return FsError::Exists;
      }
      return ErrorOf(error);
    }
    file = std::make_unique<WinFile>(dir.Path() + name, handle);
    return FsError::None;
  }

  FsError OpenFile(FsDir& dir, const std::string& name, FsAccess access, std::unique_ptr<FsFile>& file) override {
    std::wstring path;
    if (const FsError error = ExistingFilePath(dir, name, path); error != FsError::None) return error;
    // Held for reading, nobody may write, rename or delete the file.
    const bool read = access == FsAccess::Read;
    HANDLE handle = CreateFileW(path.c_str(), read ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    DWORD held = 0;
    if (!HandleAttributes(handle, held) || (held & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        GetFileType(handle) != FILE_TYPE_DISK) {
      CloseHandle(handle);
      return FsError::WrongType;
    }
    file = std::make_unique<WinFile>(dir.Path() + name, handle);
    return FsError::None;
  }

  FsError Read(FsFile& file, void* buffer, size_t n, size_t& got) override {
    DWORD read = 0;
    const DWORD ask = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    if (!ReadFile(Handle(file), buffer, ask, &read, nullptr)) return LastError();
    got = read;
    return FsError::None;
  }

  FsError Write(FsFile& file, const void* data, size_t n) override {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      const DWORD ask = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
      DWORD written = 0;
      if (!WriteFile(Handle(file), p, ask, &written, nullptr)) return LastError();
      if (written == 0) return FsError::IoError;
      p += written;
      n -= written;
    }
    return FsError::None;
  }

  FsError Seek(FsFile& file, uint64_t position) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(Handle(file), to, nullptr, FILE_BEGIN) ? FsError::None : LastError();
  }

  FsError SetSize(FsFile& file, uint64_t size) override {
    LARGE_INTEGER zero{}, here{};
    if (!SetFilePointerEx(Handle(file), zero, &here, FILE_CURRENT)) return LastError();
    if (Seek(file, size) != FsError::None || !SetEndOfFile(Handle(file))) return LastError();
    return SetFilePointerEx(Handle(file), here, nullptr, FILE_BEGIN) ? FsError::None : LastError();
  }

  FsError Flush(FsFile& file) override { return FlushFileBuffers(Handle(file)) ? FsError::None : LastError(); }

  FsError Close(FsFile& file) override {
    WinFile& f = static_cast<WinFile&>(file);
    if (f.handle == INVALID_HANDLE_VALUE) return FsError::None;
    const BOOL closed = CloseHandle(f.handle);
    f.handle = INVALID_HANDLE_VALUE;
    return closed ? FsError::None : LastError();
  }

  // A replaced file's own access list (and its owner, where the process
  // may set it) goes to its replacement; a new file gets what its directory
  // passes on, as any file made there does. Only writable targets are
  // replaced, so there is no read-only attribute to carry over.
  FsError SetInstalledAccess(FsFile& file, FsDir& dir, const std::string& replaced, bool) override {
    const std::wstring path = FsPath(file.Path()).wstring();
    if (replaced.empty()) {
      ACL empty;
      if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return LastError();
      const DWORD set =
          SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &empty, nullptr);
      if (set != ERROR_SUCCESS) return ErrorOf(set);
      // A folder that passes nothing on leaves the list empty, which lets
      // nobody in; a file made there gets the process's default list.
      return InheritedSomething(path) ? FsError::None : SetDefaultAccess(path);
    }
    std::wstring wideName;
    if (!ToPlainName(replaced, wideName)) return FsError::BadName;
    const std::wstring source = Win(dir).wide + wideName;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD got = GetNamedSecurityInfoW(source.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                            &dacl, nullptr, &descriptor);
    if (got != ERROR_SUCCESS) return ErrorOf(got);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION protection =
        (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | protection, nullptr, nullptr, dacl, nullptr);
    if (set == ERROR_SUCCESS) {
      // Only a privileged process may give a file another owner.
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                            nullptr, nullptr, nullptr);
    }
    LocalFree(descriptor);
    return ErrorOf(set);
  }

  // Held for deleting, without sharing: nobody else can open the file until
  // it has been renamed through the handle. The running program's own file
  // is open already (the system maps it, letting it be renamed but not
  // deleted) and is held sharing as much.
  FsError HoldForReplace(FsDir& dir, const std::string& name, std::unique_ptr<FsFile>& held) override {
    held.reset();
    std::wstring path;
    if (const FsError error = ExistingFilePath(dir, name, path); error != FsError::None) return error;
    const DWORD access = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE handle = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION && IsRunningExecutable(path)) {
      handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    DWORD attributes = 0;
    if (!HandleAttributes(handle, attributes) || (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
      CloseHandle(handle);
      return FsError::IsLink;
    }
    held = std::make_unique<WinFile>(dir.Path() + name, handle);
    return FsError::None;
  }

  FsError RenameHeld(FsFile* held, FsDir& fromDir, const std::string& from, FsDir& toDir,
                     const std::string& to) override {
    std::wstring fromName, toName;
    if (!ToPlainName(from, fromName) || !ToPlainName(to, toName)) return FsError::BadName;
    const std::wstring target = Win(toDir).wide + toName;
    if (held == nullptr) {
      const std::wstring source = Win(fromDir).wide + fromName;
      return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) ? FsError::None : LastError();
    }
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), info->FileName);
    info->FileName[target.size()] = L'\0';
    return SetFileInformationByHandle(Handle(*held), FileRenameInfo, info, static_cast<DWORD>(buffer.size()))
               ? FsError::None
               : LastError();
  }

  FsError Rename(FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) override {
    std::wstring fromName, toName;
    if (!ToPlainName(from, fromName) || !ToPlainName(to, toName)) return FsError::BadName;
    const std::wstring source = Win(fromDir).wide + fromName;
    const std::wstring target = Win(toDir).wide + toName;
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return FsError::None;
    }
    const DWORD error = GetLastError();
    if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && IsRunningExecutable(target) &&
        ReplaceRunningExecutable(source, target)) {
      return FsError::None;
    }
    // A file in use, or one whose deletion is pending, refuses to be
    // replaced with an access error; it may pass.
    return error == ERROR_ACCESS_DENIED ? FsError::Busy : ErrorOf(error);
  }

  FsError Delete(FsDir& dir, const std::string& name) override {
    std::wstring wideName;
    if (!ToPlainName(name, wideName)) return FsError::BadName;
    const std::wstring path = Win(dir).wide + wideName;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A link to a directory goes itself; its target is never touched.
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return FsError::WrongType;
      return RemoveDirectoryW(path.c_str()) ? FsError::None : LastError();
    }
    return DeleteFileW(path.c_str()) ? FsError::None : LastError();
  }

  FsError FlushDir(FsDir&) override { return FsError::None; }

  FsError FreeSpace(FsDir& dir, uint64_t& bytes) override {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(Win(dir).wide.c_str(), &available, nullptr, nullptr)) return LastError();
    bytes = available.QuadPart;
    return FsError::None;
  }

  // The path of what is held: while it is held, the path cannot be given
  // to anything else.
  std::string NameOfOpen(FsFile& file) override { return file.Path(); }
  std::string NameOfOpen(FsDir& dir) override { return dir.Path().substr(0, dir.Path().size() - 1); }
};

}  // namespace

void ClearLastSystemError() { SetLastError(ERROR_SUCCESS); }
FsError LastSystemError() { return ErrorOf(GetLastError()); }

FileSystem& SystemFileSystem() {
  static WinFileSystem fs;
  return fs;
}

}  // namespace quon
