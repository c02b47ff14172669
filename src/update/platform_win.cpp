#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

#include "update/WinPlatform.h"

namespace quon {

namespace {

#ifndef LOAD_LIBRARY_SEARCH_APPLICATION_DIR
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

std::string SystemErrorText(DWORD code) {
  char buffer[1024] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  return std::string(buffer, n);
}

class WinPlatform : public Platform {
 public:
  std::string ModuleFileName() override {
    char buffer[500] = {0};
    DWORD n = GetModuleFileNameA(nullptr, buffer, 499);
    return std::string(buffer, n < 500 ? n : 499);
  }

  char PathSeparator() const override { return '\\'; }

  std::string DirectoryOfPath(const std::string& path) const override { return DirectoryOfPathMbcs(path); }

  bool QueryProductVersionString(const std::string& path, std::string& version) override {
    version.clear();
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return false;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return false;
    char* text = nullptr;
    UINT length = 0;
    // The query's outcome is not a failure: a missing string reads as empty.
    if (VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\ProductVersion",
                       reinterpret_cast<void**>(&text), &length) &&
        text) {
      // length counts characters including the terminating zero; stop at
      // the first zero in any case.
      size_t n = 0;
      while (n < length && text[n] != '\0') ++n;
      version.assign(text, n);
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
    // The library stays loaded for the rest of the run.
    *fn = reinterpret_cast<DoDecabFn>(reinterpret_cast<void*>(GetProcAddress(library, "do_decab")));
    return true;
  }
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

std::unique_ptr<Platform> MakeWinPlatform() { return std::make_unique<WinPlatform>(); }

}  // namespace quon
