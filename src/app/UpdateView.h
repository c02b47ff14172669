// The main window's platform half. UpdateDlg (portable) calls these; a
// front end implements them on its toolkit and forwards the window's events
// to UpdateDlg (OnInitDialog, OnBeforeNavigate2, OnCloseButton/OnClose, the
// About command).
#pragma once
#include <functional>
#include <string>

namespace quon {

class UpdateView {
 public:
  virtual ~UpdateView() = default;
  // Loads a URL into the browser control (Navigate2 with flags 0 and no
  // frame, post data or headers); the outcome is not examined.
  virtual void Navigate(const std::string& url) = 0;
  virtual void SetStatusText(const std::string& text) = 0;  // IDC_STATUS_LINE
  virtual void ShowStatus(bool visible) = 0;
  virtual void EndDialog(int result) = 0;  // 1: OK, 2: cancel
  virtual void RunAboutBox() = 0;
  virtual void SetWaitCursor(bool wait) = 0;
  // Blocks the user-interface thread (the close-request wait).
  virtual void SleepMs(unsigned ms) = 0;
  // Never waits: queues `fn` to run on the window's user-interface thread,
  // after the event being handled has returned (the front end's UiThread).
  virtual void PostToUiThread(std::function<void()> fn) = 0;
};

}  // namespace quon
