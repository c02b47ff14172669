// What the server link may ask of the user. Front ends implement it; every
// call may come from a worker thread, and the front end then shows the box
// on its user-interface thread while the calling thread waits for the answer.
#pragma once
#include <string>
#include <string_view>

namespace quon {

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { Exclamation, Stop };
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;
  // A modal message box captioned with the application title ("QUON
  // Update"); returns kIdOk, kIdYes or kIdNo.
  virtual int MessageBox(std::string_view text, MsgButtons buttons = MsgButtons::Ok,
                         MsgIcon icon = MsgIcon::Exclamation) = 0;
  // The proxy-credentials prompt: false when the user gives up.
  virtual bool PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) = 0;
};

}  // namespace quon
