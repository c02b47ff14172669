// Message boxes and the proxy-credentials prompt on GTK. Callable from any
// thread: a worker's call is shown by the user-interface thread while the
// worker waits for the answer.
#pragma once
#include "app/UiThread.h"

namespace quon {

class GtkUserPrompts : public UiThreadPrompts {
 public:
  GtkUserPrompts();

 protected:
  int ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) override;
  bool ShowProxyPrompt(const std::string& proxy, std::string& user, std::string& password) override;
};

// The application title, caption of every message box.
constexpr const char* kAppTitle = "QUON Update";

}  // namespace quon
