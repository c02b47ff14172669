#include "app/WaitDialog_win.h"

#include <commctrl.h>

#include <atomic>
#include <mutex>
#include <optional>

#include "../../res/resource.h"

namespace quon::win {

namespace {

std::atomic<HWND> g_mainWindow{nullptr};
std::atomic<HWND> g_activeWaitDialog{nullptr};

// Posted by the worker when new texts wait in the dialog's slots.
constexpr UINT kWmProgressText = WM_APP + 0x51;

class WaitDialogWin : public Dialog, public WaitDialogWindow {
 public:
  WaitDialogWin(WaitForm form, WaitDialogEvents& events)
      : Dialog(form == WaitForm::Progress ? IDD_INTERNET_WAIT_PROGRESS : IDD_INTERNET_WAIT, MainWindow()),
        m_events(events) {}

  // Worker side: never waits for the user-interface thread.
  void SetStatusText(const std::string& text) override { QueueText(m_status, text); }
  void SetDetailText(const std::string& text) override { QueueText(m_detail, text); }
  void ShowProgressBar(int low, int high) override {
    HWND bar = m_progress.load();
    if (!bar) return;
    PostMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    ShowWindowAsync(bar, SW_SHOWNA);
  }
  void SetProgressPos(int pos) override {
    HWND bar = m_progress.load();
    if (bar) PostMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
  }
  void PostDone() override {
    HWND hwnd = m_window.load();
    if (hwnd) PostMessageA(hwnd, kWmWaitDone, 0, 0);
  }

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
    m_window.store(nullptr);
    m_progress.store(nullptr);
    Dialog::EndDialog(result);
  }

 protected:
  BOOL OnInitDialog() override {
    Dialog::OnInitDialog();
    m_window.store(Hwnd());
    m_progress.store(Item(IDC_PROGRESS));
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
      case kWmWaitDone:
        handled = true;
        m_events.OnWaitDone();
        return TRUE;
      case kWmProgressText:
        handled = true;
        ApplyText(m_status, IDC_WAIT_STATUS);
        ApplyText(m_detail, IDC_WAIT_DETAIL);
        return TRUE;
      case WM_DESTROY:
        m_window.store(nullptr);
        m_progress.store(nullptr);
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
  struct TextSlot {
    std::mutex mutex;
    std::optional<std::string> pending;
  };

  void QueueText(TextSlot& slot, const std::string& text) {
    HWND hwnd = m_window.load();
    if (!hwnd) return;
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.pending = text;
    }
    PostMessageA(hwnd, kWmProgressText, 0, 0);
  }

  void ApplyText(TextSlot& slot, int id) {
    std::optional<std::string> text;
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      text.swap(slot.pending);
    }
    if (text) SetDlgItemTextA(Hwnd(), id, text->c_str());
  }

  WaitDialogEvents& m_events;
  std::atomic<HWND> m_window{nullptr};
  std::atomic<HWND> m_progress{nullptr};
  TextSlot m_status;
  TextSlot m_detail;
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
