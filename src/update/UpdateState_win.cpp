// The update state on Windows: %ProgramData%\Quon\QuonUpdate\state (or the
// build's own file), in a folder that only administrators and the system
// may change. The folder is made with that access list; a folder or file
// that anyone else could change, or that someone else owns, is not trusted.
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "base/BuildConfig.h"
#include "update/UpdateState.h"

namespace quon {

namespace {

// Full control for the system and the administrators, reading for users;
// nothing inherited from above.
constexpr wchar_t kFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// What lets a holder change a folder's contents or a file, or its security.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

std::string Narrow(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], n, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(n - 1));
  return narrow;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool IsSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The system, the administrators and the installer service.
bool IsAdministrative(PSID sid) {
  static const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  PSID installer = nullptr;
  bool isInstaller = false;
  if (ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
    isInstaller = EqualSid(sid, installer) != FALSE;
    LocalFree(installer);
  }
  return IsSid(sid, WinLocalSystemSid) || IsSid(sid, WinBuiltinAdministratorsSid) || isInstaller;
}

// Whether only administrators may change what is at `path`: its owner is
// administrative and its access list allows changes to nobody else (the
// creator-owner entry applies to what administrators make in it).
bool AdministratorsOnly(const std::wstring& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  bool only = owner != nullptr && dacl != nullptr && IsAdministrative(owner);
  for (DWORD i = 0; only && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) {
      only = false;
      break;
    }
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      only = false;  // a kind of entry not judged here
      break;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChangeRights) && !IsAdministrative(sid) && !IsSid(sid, WinCreatorOwnerSid)) only = false;
  }
  LocalFree(descriptor);
  return only;
}

// Makes `folder` with the administrators' access list where it is missing.
bool MakeFolder(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  const bool made = CreateDirectoryW(folder.c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS;
  LocalFree(descriptor);
  return made;
}

std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

}  // namespace

std::string StateFilePath() {
  if (kStateFile[0] != '\0') return kStateFile;
  wchar_t data[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK) return std::string();
  return Narrow(std::wstring(data) + L"\\Quon\\QuonUpdate\\state");
}

StateReading ReadUpdateState(const std::string& path) {
  StateReading reading;
  reading.path = path;
  const std::wstring wide = Wide(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      reading.found = true;
      reading.notes.push_back("The update state " + path + " cannot be read (" + ErrorText(error) + ").");
    }
    return reading;
  }
  reading.found = true;
  BY_HANDLE_FILE_INFORMATION info = {};
  std::string text;
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    reading.notes.push_back("The update state " + path + " is not a regular file; it is not applied.");
  } else if (!AdministratorsOnly(wide) || !AdministratorsOnly(Wide(FolderOf(path)))) {
    reading.notes.push_back("The update state " + path +
                            " or its folder may be changed by other users than administrators; it is not applied.");
  } else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kMaxStateBytes) {
    reading.notes.push_back("The update state " + path + " is larger than 256 KiB; it is not applied.");
  } else {
    text.resize(info.nFileSizeLow);
    DWORD got = 0;
    if (!text.empty() &&
        (!ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr) || got != text.size())) {
      reading.notes.push_back("The update state " + path + " cannot be read; it is not applied.");
    } else {
      reading.state = ParseStateText(text, path, reading.notes);
    }
  }
  CloseHandle(file);
  return reading;
}

bool WriteUpdateState(const std::string& path, const UpdateState& state, std::string& why) {
  const std::string folder = FolderOf(path);
  // The default's two folders under %ProgramData%, each made protected.
  if (kStateFile[0] == '\0') MakeFolder(Wide(FolderOf(folder)));
  if (!MakeFolder(Wide(folder))) {
    why = "the folder " + folder + " cannot be made (" + ErrorText(GetLastError()) + ")";
    return false;
  }
  if (!AdministratorsOnly(Wide(folder))) {
    why = "the folder " + folder + " may be changed by other users than administrators";
    return false;
  }
  // A new file beside the old one (it takes the folder's access list),
  // moved over it once complete.
  const std::wstring target = Wide(path);
  const std::wstring temp = target + L".new";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = path + " is not writable by this user (" + ErrorText(GetLastError()) + ")";
    return false;
  }
  const std::string text = FormatStateText(state);
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(file);
  ok = CloseHandle(file) && ok;
  if (!ok || !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    why = path + " cannot be written (" + ErrorText(GetLastError()) + ")";
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace quon
