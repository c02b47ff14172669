#include "frontend/win/WaitDialog_win.h"

#include <commctrl.h>

#include <atomic>

#include "resource.h"
#include "frontend/win/UiThread_win.h"

namespace quon::win {

namespace {

std::atomic<HWND> g_mainWindow{nullptr};
std::atomic<HWND> g_activeWaitDialog{nullptr};

// Closes every window `dialog` owns (a worker's message box, WinINet's
// credentials dialog) with its safe answer: No where there is one, else
// Cancel, else OK. The box's own modal loop then returns that answer to
// the worker waiting for it, and no box outlives its wait.
BOOL CALLBACK CloseOwnedBox(HWND window, LPARAM dialog) {
  if (GetWindow(window, GW_OWNER) != reinterpret_cast<HWND>(dialog)) return TRUE;
  for (int id : {IDNO, IDCANCEL, IDOK}) {
    if (HWND button = GetDlgItem(window, id)) {
      SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
      break;
    }
  }
  return TRUE;
}

class WaitDialogWin : public Dialog, public PostingWaitDialogWindow {
 public:
  WaitDialogWin(WaitForm form, WaitDialogEvents& events)
      : Dialog(form == WaitForm::Progress ? IDD_INTERNET_WAIT_PROGRESS : IDD_INTERNET_WAIT, MainWindow()),
        PostingWaitDialogWindow(Ui(), events),
        m_events(events) {}

  // What the worker posted, applied on the user-interface thread.
  void ApplyStatusText(const std::string& text) override { SetDlgItemTextA(Hwnd(), IDC_WAIT_STATUS, text.c_str()); }
  void ApplyDetailText(const std::string& text) override { SetDlgItemTextA(Hwnd(), IDC_WAIT_DETAIL, text.c_str()); }
  void ApplyProgressBar(int low, int high) override {
    HWND bar = Item(IDC_PROGRESS);
    SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    ShowWindow(bar, SW_SHOWNA);
  }
  void ApplyProgressPos(int pos) override { SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(pos), 0); }

  // User-interface thread.
  void StartTimer(unsigned id, unsigned intervalMs) override { SetTimer(Hwnd(), id, intervalMs, nullptr); }
  void StopTimer(unsigned id) override { KillTimer(Hwnd(), id); }
  void PlayAnimation() override {
    HWND anim = Item(IDC_ANIMATE);
    SendMessageA(anim, ACM_OPENA, reinterpret_cast<WPARAM>(ResourceInstance()),
                 reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(IDR_AVI_WAIT)));
    SendMessageA(anim, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
  }
  void EndDialog(int result) override {
    Closed();
    EnumThreadWindows(GetCurrentThreadId(), &CloseOwnedBox, reinterpret_cast<LPARAM>(Hwnd()));
    Dialog::EndDialog(result);
  }

 protected:
  BOOL OnInitDialog() override {
    Dialog::OnInitDialog();
    // Before the main window shows (start-up), the dialog is the program's
    // only visible window: it gets a taskbar button of its own.
    HWND owner = GetWindow(Hwnd(), GW_OWNER);
    if (!owner || !IsWindowVisible(owner)) {
      SetWindowLongPtrA(Hwnd(), GWL_EXSTYLE, GetWindowLongPtrA(Hwnd(), GWL_EXSTYLE) | WS_EX_APPWINDOW);
    }
    g_activeWaitDialog.store(Hwnd());
    m_events.OnInitDialog(*this);
    return TRUE;
  }

  bool OnCommand(WORD id, WORD, HWND) override {
    if (id == IDC_WAIT_CANCEL) {
      if (TemplateId() == IDD_INTERNET_WAIT_PROGRESS) m_events.OnCancel();
      return true;
    }
    // Neither Escape (IDCANCEL) nor Enter without a focused button (IDOK)
    // ends the wait.
    return id == IDOK || id == IDCANCEL;
  }

  INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM, bool& handled) override {
    switch (msg) {
      case WM_TIMER:
        handled = true;
        m_events.OnTimer(static_cast<unsigned>(wParam));
        return TRUE;
      case WM_DESTROY:
        Closed();
        {
          HWND self = Hwnd();
          g_activeWaitDialog.compare_exchange_strong(self, nullptr);
        }
        return FALSE;
      default:
        return FALSE;
    }
  }

 private:
  WaitDialogEvents& m_events;
};

}  // namespace

HWND MainWindow() { return g_mainWindow.load(); }
void SetMainWindow(HWND hwnd) { g_mainWindow.store(hwnd); }
HWND ActiveWaitDialog() { return g_activeWaitDialog.load(); }

void WinWaitDialogHost::RunModal(WaitForm form, WaitDialogEvents& events) {
  WaitDialogWin dialog(form, events);
  dialog.DoModal();
}

}  // namespace quon::win
