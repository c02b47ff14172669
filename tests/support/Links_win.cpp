// Wine has no CreateSymbolicLink of its own, but runs Unix programs: ln
// makes the link between the Unix names of the two paths.
#include <windows.h>

#include "support/Links.h"

namespace quon::test {

namespace {

using UnixNameFn = char*(CDECL*)(LPCWSTR);

std::string UnixName(const std::string& path) {
  const auto unixName = reinterpret_cast<UnixNameFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
  std::wstring wide(path.begin(), path.end());
  char* name = unixName != nullptr ? unixName(wide.c_str()) : nullptr;
  if (name == nullptr) return std::string();
  std::string text = name;
  HeapFree(GetProcessHeap(), 0, name);
  return text;
}

// Runs a Unix program; a Unix process cannot be waited for from here, so
// the caller waits for what it does.
bool RunUnix(const char* program, std::string command) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool WaitUntilExists(const std::string& path, bool exists) {
  for (int i = 0; i < 200; ++i) {
    if ((GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
    Sleep(25);
  }
  return false;
}

std::string WithoutTrailingSlash(std::string name) {
  while (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

}  // namespace

bool MakeLink(const std::string& link, const std::string& target) {
  const std::string linkName = WithoutTrailingSlash(UnixName(link));
  const std::string targetName = WithoutTrailingSlash(UnixName(target));
  if (linkName.empty() || targetName.empty()) return false;
  return RunUnix("/bin/ln", "/bin/ln -s \"" + targetName + "\" \"" + linkName + "\"") && WaitUntilExists(link, true);
}

bool RemoveLink(const std::string& link) {
  const std::string linkName = WithoutTrailingSlash(UnixName(link));
  return !linkName.empty() && RunUnix("/bin/rm", "/bin/rm -f \"" + linkName + "\"") && WaitUntilExists(link, false);
}

}  // namespace quon::test
