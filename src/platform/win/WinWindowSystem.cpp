#include "platform/win/WinWindowSystem.h"

#include <windows.h>

namespace quon::win {

namespace {

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lParam) {
  auto* windows = reinterpret_cast<std::vector<WindowSystem::TopLevel>*>(lParam);
  // A 200-character buffer, of which 199 characters with the terminating
  // zero are offered to the call.
  char name[200] = {0};
  int n = GetClassNameA(hwnd, name, 199);
  windows->push_back({reinterpret_cast<WindowHandle>(hwnd), std::string(name, n > 0 ? static_cast<size_t>(n) : 0)});
  return TRUE;
}

}  // namespace

std::vector<WindowSystem::TopLevel> WinWindowSystem::EnumerateTopLevelWindows() {
  std::vector<TopLevel> windows;
  EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

bool WinWindowSystem::PostRequestClose(WindowHandle window) {
  return PostMessageA(reinterpret_cast<HWND>(window), kWmRequestClose, static_cast<WPARAM>(kRequestCloseWParam),
                      static_cast<LPARAM>(kRequestCloseLParam)) != FALSE;
}

}  // namespace quon::win
