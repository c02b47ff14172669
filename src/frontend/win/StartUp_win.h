// The start-up steps of the Windows program that come before any window:
// where the system looks for DLLs, and the common controls.
#pragma once
#include "frontend/win/Dialog_win.h"

#include <commctrl.h>

namespace quon::win {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD flags);
using SetDllDirectoryWFn = BOOL(WINAPI*)(LPCWSTR path);

enum class DllSearch {
  DefaultDirs,         // the application's directory, System32 and added directories only
  NoCurrentDirectory,  // the standard order without the current directory
  Unchanged,           // neither could be set
};

// Keeps DLLs that the program or a system library loads by name from being
// taken from the current directory or the PATH. SetDefaultDllDirectories
// with LOAD_LIBRARY_SEARCH_DEFAULT_DIRS when the system has it and it
// succeeds; otherwise (Windows 7 without KB2533623) SetDllDirectoryW(L"")
// takes the current directory out of the standard order. The application's
// directory stays in both, so CABLIB.DLL is found beside the program.
DllSearch RestrictDllSearch(SetDefaultDllDirectoriesFn setDefault, SetDllDirectoryWFn setDllDirectory);
// The same with the system's functions; SetDefaultDllDirectories is looked
// up at run time, since a static import would keep the program from
// starting where it is missing.
DllSearch RestrictDllSearch();

using InitCommonControlsExFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
// Registers the common control classes the dialogs use (animation,
// progress bar, standard controls). When the system refuses, tells the user
// in a message box and returns false: the program cannot show its dialogs
// and ends.
bool InitCommonControlsOrReport(InitCommonControlsExFn init = &InitCommonControlsEx);

// The message of that box.
extern const char kCommonControlsFailed[];

}  // namespace quon::win
