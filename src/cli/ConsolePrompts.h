// The update run's message boxes on the console. An OK box is printed, as
// an error unless it is one of the notices given; a Yes/No question is asked
// at the terminal, and where nobody can answer it the answer is No, which
// leaves everything as it is; the proxy asks for credentials at the
// terminal, or is given none.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "base/UserPrompts.h"
#include "cli/Console.h"

namespace quon::cli {

class ConsolePrompts : public UserPrompts {
 public:
  ConsolePrompts(ConsoleOutput& output, std::vector<std::string> notices)
      : m_output(output), m_notices(std::move(notices)) {}

  int MessageBox(std::string_view text, MsgButtons buttons = MsgButtons::Ok,
                 MsgIcon icon = MsgIcon::Exclamation) override;
  bool PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) override;

  // From now on nothing is shown or asked: the user has interrupted what
  // the messages would be about, or the program is ending. Questions get
  // No and the proxy no credentials.
  void Stop() { m_stopped.store(true); }

 private:
  ConsoleOutput& m_output;
  const std::vector<std::string> m_notices;
  std::atomic<bool> m_stopped{false};
};

}  // namespace quon::cli
