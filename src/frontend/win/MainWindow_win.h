// The main window on Win32: IDD_QUONUPDATE_DIALOG with the hosted web browser
// control, the system menu's About entry, the icons, painting while
// minimised, and the forwarding of the window's events to UpdateDlg.
#pragma once
#include "frontend/win/BrowserHost_win.h"
#include "frontend/win/Dialog_win.h"
#include "app/UpdateView.h"

namespace quon {
class UpdateDlg;
}

namespace quon::win {

// The page file's URL ("file://" and the path as it is) as the browser gets
// it: made with the system's path-to-URL conversion, so that a '#' or '%'
// in the product folder's name loads the page and never reads as a
// link. Other URLs pass unchanged.
std::string PageUrlForBrowser(const std::string& url);

class AboutDlg : public Dialog {
 public:
  explicit AboutDlg(HWND parent);
};

class WinMainWindow : public Dialog, public UpdateView {
 public:
  WinMainWindow();
  ~WinMainWindow() override;

  // The logic the window's events go to; set before DoModal.
  void SetLogic(UpdateDlg* logic) { m_logic = logic; }
  BrowserHost& Browser() { return m_browser; }
  HICON Icon() const { return m_hIcon; }
  HICON SmallIcon() const { return m_hSmallIcon; }

  // UpdateView
  void Navigate(const std::string& url) override;
  void SetStatusText(const std::string& text) override;
  void ShowStatus(bool visible) override;
  void EndDialog(int result) override;
  void RunAboutBox() override;
  void SetWaitCursor(bool wait) override;
  void SleepMs(unsigned ms) override;
  void PostToUiThread(std::function<void()> fn) override;

 protected:
  BOOL OnInitDialog() override;
  void DoDataExchange(bool save) override;
  void OnOK() override;
  void OnCancel() override;
  bool OnCommand(WORD id, WORD notifyCode, HWND control) override;
  INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;

 private:
  UpdateDlg* m_logic = nullptr;
  HWND m_browserSite = nullptr;  // IDC_EXPLORER
  BrowserHost m_browser;
  HICON m_hIcon;       // icon 128 at the system's icon size
  HICON m_hSmallIcon;  // icon 128 at the system's small icon size (title bar, task bar)
  HCURSOR m_savedCursor = nullptr;
};

}  // namespace quon::win
