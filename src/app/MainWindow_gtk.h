// The main window on GTK (template 129): the browser (WebKitWebView), the
// status line and the About... and Close buttons, run modally; and the About
// box (template 100).
#pragma once
#include <gtk/gtk.h>

#include <string>

#include "app/ProductWindows.h"
#include "app/UpdateView.h"

typedef struct _WebKitWebView WebKitWebView;

namespace quon {

// What the main window reports; UpdateDlg's handlers behind it.
class MainWindowEvents {
 public:
  virtual ~MainWindowEvents() = default;
  virtual void OnInitDialog() = 0;
  // A navigation in the browser; set cancel to stop it.
  virtual void OnBeforeNavigate2(const std::string& url, bool& cancel) = 0;
  virtual void OnCloseButton() = 0;  // command 1002
  virtual void OnClose() = 0;        // the window's close box
  virtual void OnOK() = 0;           // Enter, when no button or the browser takes it
  virtual void OnAbout() = 0;        // command 1009
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

 private:
  friend struct MainWindowCallbacks;
  void Build();

  MainWindowEvents* m_events = nullptr;
  GtkWidget* m_window = nullptr;
  WebKitWebView* m_browser = nullptr;
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
