// The wait dialog of the command-line mode: no window, the same wait (a
// worker per server call, the timer and its 590-second rules, Cancel) run
// by the portable logic of WaitDialog.h, with the download's progress
// printed and Ctrl+C as the Cancel button. Ctrl+C also ends the plain form,
// which has no Cancel button in the window: the worker is then abandoned as
// at the time limit.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "app/WaitDialog.h"
#include "cli/Console.h"

namespace quon::cli {

// Nobody watches an unattended download: one that gets fewer than
// `minBytes` in `window` (the server sends a byte now and then, or nothing)
// is ended as stalled, where the window waits for the user's Cancel.
struct StallRule {
  size_t minBytes = 1024;
  std::chrono::milliseconds window{120000};
};

class ConsoleWaitHost : public WaitDialogHost {
 public:
  // `onInterrupt` runs (on the calling thread) when Ctrl+C has ended a
  // wait.
  ConsoleWaitHost(ConsoleOutput& output, std::function<void()> onInterrupt, StallRule stall = StallRule())
      : m_output(output), m_onInterrupt(std::move(onInterrupt)), m_stall(stall) {}
  void RunModal(WaitForm form, WaitDialogEvents& events) override;
  // Whether the last download had begun its file's data (the server's
  // reply was accepted): a download that failed before tells of the
  // server, one that failed after of the transfer.
  bool FileDataArrived() const { return m_fileDataArrived; }
  // Whether the last download's last attempt was ended as stalled, and how
  // to tell it.
  bool Stalled() const { return m_stalled; }
  std::string StalledText() const;

 private:
  bool m_fileDataArrived = false;
  bool m_stalled = false;
  ConsoleOutput& m_output;
  std::function<void()> m_onInterrupt;
  StallRule m_stall;
};

}  // namespace quon::cli
