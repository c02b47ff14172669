// What the network layer needs to run work under a wait: the work (a
// procedure run on a worker thread), the form of the wait, a progress
// display the work may write to, and the cancel flag that tells an
// abandoned worker to stop. The application implements WaitRunner with its
// wait dialog; the exchange and the download only ever see this interface.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "net/HttpTransport.h"

namespace quon {

constexpr unsigned kWaitTimerIntervalMs = 59000;

enum class WaitForm { Plain, Progress };  // IDD_INTERNET_WAIT, IDD_INTERNET_WAIT_PROGRESS

// What ended a wait: the procedure returned, Cancel (or a wait that could
// not run), or the time limit.
enum class WaitEnd { Finished, Cancelled, TimeLimit };

// The progress the download shows. Implementations are safe to call from
// the worker thread and never wait for the user-interface thread: they hand
// the update over (post, not send) and return, because the user-interface
// thread may at that moment be ending the wait.
class ProgressDisplay {
 public:
  virtual ~ProgressDisplay() = default;
  virtual void SetStatusText(const std::string& text) = 0;  // IDC_WAIT_STATUS
  virtual void SetDetailText(const std::string& text) = 0;  // IDC_WAIT_DETAIL
  virtual void ShowProgressBar(int low, int high) = 0;      // IDC_PROGRESS, shown
  virtual void SetProgressPos(int pos) = 0;
  // `bytes` of reply data arrived. The progress form counts its time limit
  // from the last of these; nothing is shown.
  virtual void DataReceived(size_t /*bytes*/) {}
};

// The procedure a wait runs on its worker. `progress` is null for the plain
// form; `cancel` is set when the wait abandons the worker. An abandoned
// procedure is never killed: it sees the flag at its next step or blocking
// wait and returns; whatever it would still do must not reach the caller
// (give it its own copies, held by shared ownership).
using WaitProcedure = std::function<int32_t(ProgressDisplay* progress, const CancelFlag& cancel)>;

class WaitRunner {
 public:
  virtual ~WaitRunner() = default;
  // Runs `procedure` on its own worker thread under a wait of the given form
  // and returns its result, or 0 when the wait ended without it (Cancel, or
  // the time limit: ten ticks of `timerIntervalMs`, counted from the start
  // for the plain form and from the last reply data for the progress form).
  // `end`, when given, tells what ended the wait: Finished means the
  // procedure returned first (so its own records may be copied back).
  virtual int32_t RunUnderWait(WaitForm form, WaitProcedure procedure, unsigned timerIntervalMs, WaitEnd* end) = 0;
};

}  // namespace quon
