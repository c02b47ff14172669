// The Windows wait dialog: IDD_INTERNET_WAIT (plain) and IDD_INTERNET_WAIT_PROGRESS (progress), the
// animation, the timer and the done signal, driven by the portable
// InternetWaitDlg through WaitDialogWindow/WaitDialogEvents.
#pragma once
#include "frontend/win/Dialog_win.h"
#include "app/WaitDialog.h"

namespace quon::win {

// The window that owns the modal dialogs and message boxes of a run (the
// main window once it exists); null before.
HWND MainWindow();
void SetMainWindow(HWND hwnd);
// The wait dialog now open, if any: message boxes of a server call, shown
// from its worker thread, are owned by it, and closed with their safe
// answer when the wait ends first.
HWND ActiveWaitDialog();

class WinWaitDialogHost : public WaitDialogHost {
 public:
  void RunModal(WaitForm form, WaitDialogEvents& events) override;
};

}  // namespace quon::win
