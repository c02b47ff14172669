#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/FsPath.h"

#include "platform/win/WinPlatform.h"

namespace quon {

namespace {

#ifndef LOAD_LIBRARY_SEARCH_APPLICATION_DIR
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// The longest executable path the program takes, as the version of it
// that read the ANSI path did; the longest path asked of the system.
constexpr size_t kMaxModulePathChars = 499;
constexpr size_t kMaxWidePath = 32768;

// `path` in the program's 8-bit text: each name as it is where the ANSI
// code page spells it exactly, else its short name; empty when a name has
// neither.
std::string SpelledPath(const std::wstring& path) {
  std::string text;
  if (NameText(std::filesystem::path(path), text)) return text;
  text.clear();
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(L'\\', start);
    const std::wstring prefix = path.substr(0, end);
    std::wstring name = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    std::string spelled;
    if (!name.empty() && !NameText(std::filesystem::path(name), spelled)) {
      const DWORD n = GetShortPathNameW(prefix.c_str(), nullptr, 0);
      std::wstring shortPath(n, L'\0');
      if (n == 0 || GetShortPathNameW(prefix.c_str(), &shortPath[0], n) >= n) return std::string();
      shortPath.resize(n - 1);
      name = shortPath.substr(shortPath.rfind(L'\\') + 1);
      if (!NameText(std::filesystem::path(name), spelled)) return std::string();
    }
    text += spelled;
    if (end == std::wstring::npos) return text;
    text += '\\';
    start = end + 1;
  }
}

std::string SystemErrorText(DWORD code) {
  char buffer[1024] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  return std::string(buffer, n);
}

// A handle to the product directory's mutex, kept for the run; the mutex
// exists as long as any copy keeps one.
class DirectoryMutex : public ProductDirectoryLock {
 public:
  explicit DirectoryMutex(HANDLE mutex) : m_mutex(mutex) {}
  ~DirectoryMutex() override { CloseHandle(m_mutex); }
  DirectoryMutex(const DirectoryMutex&) = delete;
  DirectoryMutex& operator=(const DirectoryMutex&) = delete;

 private:
  HANDLE m_mutex;
};

class WinPlatform : public Platform {
 public:
  // Read as the system holds it (UTF-16), and given to the program's 8-bit
  // text as it is where the ANSI code page spells every name of it; a
  // folder whose name it cannot spell (Cyrillic under code page 1252, an
  // emoji anywhere) is given by the short name the file system keeps for
  // it, which names the same folder in every call. Empty when even that
  // cannot be had, or the path is longer than the program takes.
  std::string ModuleFileName() override {
    std::wstring wide(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetModuleFileNameW(nullptr, &wide[0], static_cast<DWORD>(wide.size()));
      if (n == 0) return std::string();
      if (n < wide.size()) {
        wide.resize(n);
        break;
      }
      if (wide.size() >= kMaxWidePath) return std::string();
      wide.resize(wide.size() * 2);
    }
    std::string text = SpelledPath(wide);
    return text.size() <= kMaxModulePathChars ? text : std::string();
  }

  char PathSeparator() const override { return '\\'; }

  std::string DirectoryOfPath(const std::string& path) const override { return DirectoryOfPathMbcs(path); }

  bool QueryProductVersionString(const std::string& path, std::string& version) override {
    version.clear();
    const std::filesystem::path file = FsPath(path);
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) return false;
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return false;
    wchar_t* text = nullptr;
    UINT length = 0;
    // The query's outcome is not a failure: a missing string reads as empty.
    if (VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                       reinterpret_cast<void**>(&text), &length) &&
        text) {
      // length counts characters including the terminating zero; stop at
      // the first zero in any case.
      size_t n = 0;
      while (n < length && text[n] != L'\0') ++n;
      version = PathText(std::filesystem::path(std::wstring(text, n)));
    }
    return true;
  }

  bool LoadCabLibrary(const std::string&, DoDecabFn* fn, std::string& errorText) override {
    *fn = nullptr;
    errorText.clear();
    // Only the application's directory and the system directory are
    // searched, never the current directory.
    HMODULE library =
        LoadLibraryExA("CABLIB.DLL", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library && GetLastError() == ERROR_INVALID_PARAMETER) {
      // Systems without the search flags: take the current directory out of
      // the search order and use the standard one.
      SetDllDirectoryA("");
      library = LoadLibraryA("CABLIB.DLL");
    }
    if (!library) {
      DWORD code = GetLastError();
      if (code != 0) errorText = SystemErrorText(code);
      return false;
    }
    // Kept until ReleaseCabLibrary, so that an update can replace it.
    ReleaseCabLibrary();
    m_cabLibrary = library;
    *fn = reinterpret_cast<DoDecabFn>(reinterpret_cast<void*>(GetProcAddress(library, "do_decab")));
    return true;
  }

  void ReleaseCabLibrary() override {
    if (m_cabLibrary) FreeLibrary(m_cabLibrary);
    m_cabLibrary = nullptr;
  }

  // Every running copy keeps a handle to a mutex named after the directory,
  // in its session's namespace, where other users' programs cannot make or
  // hold it. The copy that creates it owns it while `whileAlone` runs; a
  // copy that finds it existing waits until it is free before going on,
  // for a bounded time. A mutex that cannot be had (another user's copy in
  // this session made it) means not alone.
  std::unique_ptr<ProductDirectoryLock> HoldProductDirectory(const std::string& productDir,
                                                             const std::function<void()>& whileAlone) override {
    SetLastError(0);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, ProductDirectoryMutexName(productDir).c_str());
    const DWORD error = GetLastError();
    if (!mutex) return nullptr;
    if (error != ERROR_ALREADY_EXISTS) {
      whileAlone();
      ReleaseMutex(mutex);
    } else {
      const DWORD wait = WaitForSingleObject(mutex, static_cast<DWORD>(m_runLockWait.count()));
      if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);
    }
    return std::make_unique<DirectoryMutex>(mutex);
  }

  ~WinPlatform() override { ReleaseCabLibrary(); }

 private:
  HMODULE m_cabLibrary = nullptr;
};

}  // namespace

std::string DirectoryOfPathMbcs(const std::string& path, unsigned codePage) {
  const UINT cp = codePage ? codePage : CP_ACP;
  size_t last = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '\0') break;
    if (IsDBCSLeadByteEx(cp, static_cast<BYTE>(c)) && i + 1 < path.size() && path[i + 1] != '\0') {
      ++i;  // the trail byte is part of the character, never a separator
      continue;
    }
    if (c == '\\') last = i;
  }
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

std::string ProductDirectoryMutexName(const std::string& productDir) {
  // One name for the directory however it is cased or ended: a 64-bit
  // FNV-1a hash of the upper-cased path without trailing separators, which
  // also keeps the name short and free of backslashes.
  size_t length = productDir.size();
  while (length > 0 && (productDir[length - 1] == '\\' || productDir[length - 1] == '/')) --length;
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(productDir[i]);
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
    hash = (hash ^ c) * 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\QuonUpdate-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

std::unique_ptr<Platform> MakeWinPlatform() { return std::make_unique<WinPlatform>(); }

}  // namespace quon
