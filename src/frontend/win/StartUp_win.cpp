#include "frontend/win/StartUp_win.h"

#include "frontend/win/UserPrompts_win.h"

namespace quon::win {

const char kCommonControlsFailed[] =
    "The Windows common controls could not be initialized. QUON Update cannot start.";

DllSearch RestrictDllSearch(SetDefaultDllDirectoriesFn setDefault, SetDllDirectoryWFn setDllDirectory) {
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) return DllSearch::DefaultDirs;
  if (setDllDirectory && setDllDirectory(L"")) return DllSearch::NoCurrentDirectory;
  return DllSearch::Unchanged;
}

DllSearch RestrictDllSearch() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  return RestrictDllSearch(setDefault, &SetDllDirectoryW);
}

bool InitCommonControlsOrReport(InitCommonControlsExFn init) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_ANIMATE_CLASS | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  if (init(&controls)) return true;
  MessageBoxA(nullptr, kCommonControlsFailed, AppTitle().c_str(), MB_OK | MB_ICONEXCLAMATION);
  return false;
}

}  // namespace quon::win
