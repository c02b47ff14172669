// The wait dialog (plain form while one exchange runs, progress form while a
// file downloads) and the hand-over to and from its worker thread. The logic
// is portable; a front end supplies the modal window through WaitDialogHost.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/HttpTransport.h"

namespace quon {

constexpr unsigned kWaitTimerId = 333;
constexpr unsigned kWaitTimerIntervalMs = 59000;
constexpr int kWaitTimerTicksToGiveUp = 10;
constexpr unsigned kWmWaitDone = 0x0400 + 1;  // WM_USER + 1

enum class WaitForm { Plain, Progress };  // templates 212 and 214

// The controls of the progress form the download writes to. Implementations
// are safe to call from the worker thread.
class ProgressDisplay {
 public:
  virtual ~ProgressDisplay() = default;
  virtual void SetStatusText(const std::string& text) = 0;   // item 1005
  virtual void SetDetailText(const std::string& text) = 0;   // item 1006
  virtual void ShowProgressBar(int low, int high) = 0;       // item 1004, shown
  virtual void SetProgressPos(int pos) = 0;
};

// The front end's half of one open wait dialog.
class WaitDialogWindow : public ProgressDisplay {
 public:
  // Thread-safe: queue WM_WAIT_DONE for the dialog's UI thread.
  virtual void PostDone() = 0;
  // UI thread only.
  virtual void StartTimer(unsigned id, unsigned intervalMs) = 0;
  virtual void StopTimer(unsigned id) = 0;
  virtual void PlayAnimation() = 0;
  virtual void EndDialog(int result) = 0;
};

// Events of the dialog, delivered on the UI thread by the front end.
class WaitDialogEvents {
 public:
  virtual ~WaitDialogEvents() = default;
  virtual void OnInitDialog(WaitDialogWindow& window) = 0;
  virtual void OnTimer(unsigned id) = 0;
  virtual void OnWaitDone() = 0;
  virtual void OnCancel() = 0;  // the Cancel button, 1007
};

class WaitDialogHost {
 public:
  virtual ~WaitDialogHost() = default;
  // Creates the dialog of the given form, modal over the main window, calls
  // events.OnInitDialog and runs the modal loop until EndDialog.
  virtual void RunModal(WaitForm form, WaitDialogEvents& events) = 0;
};

// The procedure a wait dialog runs on its worker. `progress` is null for
// the plain form; `cancel` is set when the dialog abandons the worker.
using WaitProcedure = std::function<int32_t(ProgressDisplay* progress, const CancelFlag& cancel)>;

// Runs `procedure` on its own worker thread under the wait dialog (kind 1:
// progress form, any other kind: plain form) and returns its result, or 0
// when the dialog ended without it (Cancel, or the time limit).
// timerIntervalMs exists so tests can shorten the limit through this path.
int32_t RunWithWaitDialog(WaitDialogHost& host, int kind, WaitProcedure procedure,
                          unsigned timerIntervalMs = kWaitTimerIntervalMs);

}  // namespace quon
