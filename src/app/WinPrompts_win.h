// Message boxes on Win32 and the product-window enumeration.
#pragma once
#include "app/UiThread.h"
#include "update/ProductWindows.h"

namespace quon::win {

// MessageBoxA captioned with the application title, shown on the
// user-interface thread (a worker's box too). It is owned by the open wait
// dialog, else by the main window.
class WinPrompts : public UiThreadPrompts {
 public:
  WinPrompts();

 protected:
  int ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) override;
  // WinINet asks for proxy credentials itself (InternetErrorDlg); this
  // prompt is never needed on Windows and declines.
  bool ShowProxyPrompt(const std::string& proxy, std::string& user, std::string& password) override;
};

// Top-level windows through EnumWindows/GetClassNameA; the close request
// through PostMessageA.
class WinWindowSystem : public WindowSystem {
 public:
  std::vector<TopLevel> EnumerateTopLevelWindows() override;
  bool PostRequestClose(WindowHandle window) override;
};

// The application title, IDS_APP_TITLE ("QUON Update").
std::string AppTitle();

}  // namespace quon::win
