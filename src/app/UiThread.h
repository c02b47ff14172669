// The one way work reaches the user-interface thread. Each front end has
// one primitive, posting a function to its UI thread (an idle source on GTK,
// a posted message on Win32); the wait dialog's progress and done signal,
// the message boxes of workers and the end of the program are written once
// on top of it.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/UserPrompts.h"

namespace quon {

class UiThread {
 public:
  virtual ~UiThread() = default;
  // Any thread, never waits: queues `fn` to run on the user-interface
  // thread, after what was posted before it.
  virtual void Post(std::function<void()> fn) = 0;
  virtual bool IsCurrent() const = 0;
};

// Runs a function on the user-interface thread and waits for it (at once
// when called there). Once stopped, nothing more runs and every waiting
// caller returns: nobody is left to answer.
class UiCaller {
 public:
  explicit UiCaller(UiThread& ui);
  // False when the function did not run (stopped).
  bool Run(const std::function<void()>& fn);
  void Stop();

 private:
  struct Shared;
  UiThread& m_ui;
  std::shared_ptr<Shared> m_shared;
};

// Message boxes and the proxy prompt from any thread: a worker's prompt is
// shown by the user-interface thread while the worker waits for the answer.
// A front end implements the two Show functions, which run on the UI thread.
class UiThreadPrompts : public UserPrompts {
 public:
  explicit UiThreadPrompts(UiThread& ui) : m_caller(ui) {}
  // When the program is ending nobody can answer: OK for an OK box, No for
  // a question, no credentials, so that nothing is done on the user's
  // behalf.
  int MessageBox(std::string_view text, MsgButtons buttons = MsgButtons::Ok, MsgIcon icon = MsgIcon::Exclamation) final;
  bool PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) final;
  // The program is ending: no prompt is shown any more.
  void Stop() { m_caller.Stop(); }

 protected:
  // Runs `fn` on the user-interface thread and waits; false when it did not
  // run (the program is ending).
  bool RunOnUi(const std::function<void()>& fn) { return m_caller.Run(fn); }
  virtual int ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) = 0;
  virtual bool ShowProxyPrompt(const std::string& proxy, std::string& user, std::string& password) = 0;

 private:
  UiCaller m_caller;
};

// How long the program waits at its end for workers that a wait abandoned.
constexpr std::chrono::seconds kWorkerExitWait{10};

// The end of the program, the same for the windows of both systems and for
// the command line, once the run is over: `stopPrompts` ends the showing of
// prompts, so that abandoned workers see their cancel flag and end. One that
// does not end in time must not outlive the objects it uses: the program
// then leaves at once with `exitCode`, destroying nothing.
void LetWorkersEnd(const std::function<void()>& stopPrompts, int exitCode,
                   std::chrono::milliseconds wait = kWorkerExitWait);
// The same for a window's prompts, once its main window has closed.
void LetWorkersEnd(UiThreadPrompts& prompts, int exitCode, std::chrono::milliseconds wait = kWorkerExitWait);

}  // namespace quon
