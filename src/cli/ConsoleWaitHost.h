// The wait dialog of the command-line mode: no window, the same wait (a
// worker per server call, the timer and its 590-second rules, Cancel) run
// by the portable logic of WaitDialog.h, with the download's progress
// printed and Ctrl+C as the Cancel button. Ctrl+C also ends the plain form,
// which has no Cancel button in the window: the worker is then abandoned as
// at the time limit.
#pragma once
#include <functional>

#include "app/WaitDialog.h"
#include "cli/Console.h"

namespace quon::cli {

class ConsoleWaitHost : public WaitDialogHost {
 public:
  // `onInterrupt` runs (on the calling thread) when Ctrl+C has ended a
  // wait.
  ConsoleWaitHost(ConsoleOutput& output, std::function<void()> onInterrupt)
      : m_output(output), m_onInterrupt(std::move(onInterrupt)) {}
  void RunModal(WaitForm form, WaitDialogEvents& events) override;
  // Whether the last download got any of its file's data: a download that
  // failed before tells of the server, one that failed after of the
  // transfer.
  bool FileDataArrived() const { return m_fileDataArrived; }

 private:
  bool m_fileDataArrived = false;
  ConsoleOutput& m_output;
  std::function<void()> m_onInterrupt;
};

}  // namespace quon::cli
