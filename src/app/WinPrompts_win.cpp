#include "app/Dialog_win.h"
#include "app/WinPrompts_win.h"
#include "app/UiThread_win.h"
#include "app/WaitDialog_win.h"
#include "../../res/resource.h"

namespace quon::win {

std::string AppTitle() {
  std::string title = LoadResourceString(IDS_APP_TITLE);
  return title.empty() ? std::string("QUON Update") : title;
}

WinPrompts::WinPrompts() : UiThreadPrompts(Ui()) {}

int WinPrompts::ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) {
  UINT type = (buttons == MsgButtons::YesNo ? MB_YESNO : MB_OK) |
              (icon == MsgIcon::Stop ? MB_ICONSTOP : MB_ICONEXCLAMATION);
  HWND owner = ActiveWaitDialog();
  if (!owner) owner = MainWindow();
  if (owner && !IsWindow(owner)) owner = nullptr;
  const std::string title = AppTitle();
  return MessageBoxA(owner, text.c_str(), title.c_str(), type);
}

bool WinPrompts::ShowProxyPrompt(const std::string&, std::string&, std::string&) { return false; }

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
