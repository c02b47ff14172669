// Message boxes and the proxy-credentials prompt on GTK. Callable from any
// thread: a worker's call is shown by the user-interface thread while the
// worker waits for the answer.
#pragma once
#include "base/UserPrompts.h"

namespace quon {

class GtkUserPrompts : public UserPrompts {
 public:
  int MessageBox(std::string_view text, MsgButtons buttons = MsgButtons::Ok,
                 MsgIcon icon = MsgIcon::Exclamation) override;
  bool PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) override;
};

// The application title, caption of every message box.
constexpr const char* kAppTitle = "QUON Update";

}  // namespace quon
