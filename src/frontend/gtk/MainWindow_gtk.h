// The main window on GTK (IDD_QUONUPDATE_DIALOG): the browser (WebKitWebView), the
// status line and the About... and Close buttons, run modally; and the About
// box (IDD_ABOUTBOX).
#pragma once
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "update/ProductWindows.h"
#include "app/UpdateView.h"

typedef struct _WebKitWebView WebKitWebView;

namespace quon {

// What the main window reports; UpdateDlg's handlers behind it.
class MainWindowEvents {
 public:
  virtual ~MainWindowEvents() = default;
  virtual void OnInitDialog() = 0;
  // A navigation the user started in the browser (a click or Enter on a
  // link), while WebKit waits for the decision; set cancel to stop it. The
  // window itself refuses every other navigation but the loads of its own
  // pages.
  virtual void OnBeforeNavigate2(const std::string& url, bool& cancel) = 0;
  virtual void OnCloseButton() = 0;  // IDC_CLOSE_BUTTON
  virtual void OnClose() = 0;        // the window's close box
  virtual void OnOK() = 0;           // Enter, when no button or the browser takes it
  virtual void OnAbout() = 0;        // IDC_ABOUT_BUTTON
};

class GtkMainWindow : public UpdateView {
 public:
  GtkMainWindow();
  ~GtkMainWindow() override;
  GtkMainWindow(const GtkMainWindow&) = delete;
  GtkMainWindow& operator=(const GtkMainWindow&) = delete;

  // Creates the window hidden, calls events.OnInitDialog, shows the window
  // unless the handler ended the dialog, and runs it until EndDialog.
  // Returns the dialog's result.
  int RunModal(MainWindowEvents& events);

  // The X11 window of the main window, once it exists (0 before).
  WindowHandle NativeHandle() const;

  // UpdateView
  void Navigate(const std::string& url) override;
  void SetStatusText(const std::string& text) override;
  void ShowStatus(bool visible) override;
  void EndDialog(int result) override;
  void RunAboutBox() override;
  void SetWaitCursor(bool wait) override;
  void SleepMs(unsigned ms) override;
  void PostToUiThread(std::function<void()> fn) override;

 private:
  friend struct MainWindowCallbacks;
  void Build();
  // Loads `uri` as a page of the program's own: its navigation goes ahead
  // without the handler, once.
  void LoadOwnPage(const std::string& uri);
  // True (and forgets it) when `uri` names a page load of ours still waiting
  // for its decision.
  bool TakeOwnPage(const char* uri);

  MainWindowEvents* m_events = nullptr;
  GtkWidget* m_window = nullptr;
  WebKitWebView* m_browser = nullptr;
  std::vector<std::string> m_ownPages;  // LoadOwnPage, decision pending
  GtkWidget* m_status = nullptr;
  GtkWidget* m_about = nullptr;
  GtkWidget* m_close = nullptr;
  GMainLoop* m_loop = nullptr;
  bool m_statusVisible = false;
  bool m_ended = false;
  bool m_firstLoadTraced = false;
  int m_result = 0;
};

// Runs the About box modally over the innermost modal window.
void RunAboutDialog();

}  // namespace quon
