// Message boxes on Win32.
#pragma once
#include "app/UiThread.h"

namespace quon::win {

// MessageBoxA captioned with the application title, shown on the
// user-interface thread (a worker's box too). It is owned by the open wait
// dialog, else by the main window; a wait that ends closes the boxes it
// owns with their safe answer (see WaitDialog_win.h).
class WinUserPrompts : public UiThreadPrompts {
 public:
  WinUserPrompts();
  // WinINet's proxy credentials dialog from a worker, shown on the
  // user-interface thread with the owner a box would have (an
  // OwnedDialogRunner). False when the program is ending.
  bool RunOwnedDialog(const std::function<void(void* owner)>& show);

 protected:
  int ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) override;
  // WinINet asks for proxy credentials itself (InternetErrorDlg); this
  // prompt is never needed on Windows and declines.
  bool ShowProxyPrompt(const std::string& proxy, std::string& user, std::string& password) override;
};

// The application title, IDS_APP_TITLE ("QUON Update").
std::string AppTitle();

}  // namespace quon::win
