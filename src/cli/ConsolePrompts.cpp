#include "cli/ConsolePrompts.h"

#include <algorithm>

#include "base/CText.h"
#include "base/DisplayText.h"

namespace quon::cli {

int ConsolePrompts::MessageBox(std::string_view text, MsgButtons buttons, MsgIcon) {
  const bool question = buttons == MsgButtons::YesNo;
  if (m_stopped.load()) return question ? kIdNo : kIdOk;
  // A server's reply text is shown as a message and could be megabytes
  // long: the console shows what a box would.
  const std::string shown = BoundedMessage(text);
  if (question) {
    std::string answer;
    if (!m_output.Ask(shown + " [y/N] ", answer, false)) return kIdNo;
    const std::string upper = AsciiUpper(answer);
    return upper == "Y" || upper == "YES" ? kIdYes : kIdNo;
  }
  if (std::find(m_notices.begin(), m_notices.end(), shown) != m_notices.end()) {
    m_output.Info(shown);
  } else {
    m_output.Error(shown);
  }
  return kIdOk;
}

bool ConsolePrompts::PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) {
  if (m_stopped.load()) return false;
  if (!m_output.InputIsTerminal()) {
    m_output.Error("The proxy " + std::string(proxy) + " asks for a user name and a password; nobody can give them.");
    return false;
  }
  m_output.Info("The proxy " + std::string(proxy) + " asks for a user name and a password.");
  std::string typedUser, typedPassword;
  if (!m_output.Ask("User name: ", typedUser, false) || !m_output.Ask("Password: ", typedPassword, true)) {
    return false;
  }
  user = std::move(typedUser);
  password = std::move(typedPassword);
  return true;
}

}  // namespace quon::cli
