// The wait dialog (plain form while one exchange runs, progress form while a
// file downloads) and the hand-over to and from its worker thread: the
// application's implementation of the network layer's WaitRunner. The logic
// is portable; a front end supplies the modal window through WaitDialogHost.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/Wait.h"

namespace quon {

constexpr unsigned kWaitTimerId = 333;
constexpr int kWaitTimerTicksToGiveUp = 10;

// The front end's half of one open wait dialog. As a ProgressDisplay it is
// the progress form's controls; the worker reaches them only through the
// dialog's channel, which is cut before the dialog ends.
class WaitDialogWindow : public ProgressDisplay {
 public:
  // Thread-safe and non-blocking: queue WM_WAIT_DONE for the dialog's UI
  // thread. A WM_WAIT_DONE still queued when the dialog ends is discarded.
  virtual void PostDone() = 0;
  // UI thread only.
  virtual void StartTimer(unsigned id, unsigned intervalMs) = 0;
  virtual void StopTimer(unsigned id) = 0;
  virtual void PlayAnimation() = 0;
  virtual void EndDialog(int result) = 0;
};

class WaitDialogEvents;
class UiThread;

// The worker's half of a front end's wait-dialog window, written once: each
// call is posted to the user-interface thread and applied there, unless the
// dialog has ended by then. A front end implements the Apply functions and
// the user-interface half, and calls Closed() when its dialog ends.
class PostingWaitDialogWindow : public WaitDialogWindow {
 public:
  PostingWaitDialogWindow(UiThread& ui, WaitDialogEvents& events);
  ~PostingWaitDialogWindow() override;
  void PostDone() final;
  void SetStatusText(const std::string& text) final;
  void SetDetailText(const std::string& text) final;
  void ShowProgressBar(int low, int high) final;
  void SetProgressPos(int pos) final;

 protected:
  // UI thread only.
  void Closed() { *m_open = false; }
  virtual void ApplyStatusText(const std::string& text) = 0;
  virtual void ApplyDetailText(const std::string& text) = 0;
  virtual void ApplyProgressBar(int low, int high) = 0;
  virtual void ApplyProgressPos(int pos) = 0;

 private:
  void Post(std::function<void()> apply);

  UiThread& m_ui;
  WaitDialogEvents& m_events;
  std::shared_ptr<bool> m_open;  // read and written on the UI thread only
};

// Events of the dialog, delivered on the UI thread by the front end.
class WaitDialogEvents {
 public:
  virtual ~WaitDialogEvents() = default;
  virtual void OnInitDialog(WaitDialogWindow& window) = 0;
  virtual void OnTimer(unsigned id) = 0;
  virtual void OnWaitDone() = 0;
  virtual void OnCancel() = 0;  // the Cancel button, IDC_WAIT_CANCEL (progress form)
  // A host's stall rule (the command line's) found the download stalled:
  // its current attempt is cut, and the download may try again under the
  // same dialog.
  virtual void OnStall() {}
  // Escape (IDCANCEL) and Enter without a focused button (IDOK) do nothing;
  // front ends need not deliver them.
};

// A front end's wait dialog; the wait itself (worker, timer, Cancel) is the
// portable logic below, so every host is a WaitRunner.
class WaitDialogHost : public WaitRunner {
 public:
  // Creates the dialog of the given form, modal over the main window, calls
  // events.OnInitDialog and runs the modal loop until EndDialog.
  virtual void RunModal(WaitForm form, WaitDialogEvents& events) = 0;
  int32_t RunUnderWait(WaitForm form, WaitProcedure procedure, unsigned timerIntervalMs, WaitEnd* end) final;
};

// Forwards progress and the done signal from the worker to the open dialog
// until the dialog cuts it (under the mutex), after which every call is
// dropped: nothing reaches a dialog that has ended.
class WaitChannel : public ProgressDisplay {
 public:
  void Attach(WaitDialogWindow* window);
  void Detach() { Attach(nullptr); }
  void PostDone();
  void SetStatusText(const std::string& text) override;
  void SetDetailText(const std::string& text) override;
  void ShowProgressBar(int low, int high) override;
  void SetProgressPos(int pos) override;
  void DataReceived(size_t bytes) override;
  // True when data arrived since the last call.
  bool TakeDataReceived() { return m_dataReceived.exchange(false, std::memory_order_relaxed); }

 private:
  std::mutex m_mutex;
  WaitDialogWindow* m_window = nullptr;
  std::atomic<bool> m_dataReceived{false};
};

// The record shared by the dialog and its worker. Shared ownership keeps it
// alive for an abandoned worker after the dialog and its caller are gone.
struct WaitThreadParams {
  WaitChannel window;       // the dialog's window, as the worker may reach it
  bool progressForm = false;
  WaitProcedure procedure;
  CancelFlag cancel;

  std::mutex mutex;         // guards the three below
  int32_t result = 0;       // stored before the done signal is posted
  bool finished = false;    // the procedure returned before the dialog ended
  bool abandoned = false;   // the dialog ended first; the result is dropped
};

// The worker's body: runs the procedure, stores its result (unless the
// dialog has abandoned it) and then posts WM_WAIT_DONE. Exit code 0.
int WaitWorkerProc(std::shared_ptr<WaitThreadParams> params);

// The wait dialog's logic. One object per RunWithWaitDialog call.
class InternetWaitDlg : public WaitDialogEvents {
 public:
  InternetWaitDlg(std::shared_ptr<WaitThreadParams> params, unsigned timerIntervalMs);
  void OnInitDialog(WaitDialogWindow& window) override;
  void OnTimer(unsigned id) override;
  void OnWaitDone() override;
  void OnCancel() override;
  void OnStall() override;
  WaitEnd EndedBy() const { return m_endedBy; }

 private:
  void Abandon();
  void End(WaitEnd reason);

  std::shared_ptr<WaitThreadParams> m_params;
  WaitDialogWindow* m_window = nullptr;
  unsigned m_intervalMs;
  int m_tickCount = 0;
  unsigned m_timer = 0;
  bool m_ended = false;
  WaitEnd m_endedBy = WaitEnd::Cancelled;
};

// Runs `procedure` on its own worker thread under the wait dialog (kind 1:
// progress form, any other kind: plain form) and returns its result, or 0
// when the dialog ended without it (Cancel, or the time limit). The plain
// form's limit is ten timer ticks from the start; the progress form's is ten
// ticks without reply data (see ProgressDisplay::DataReceived).
// timerIntervalMs exists so tests can shorten the limit through this path.
// `end`, when given, tells what ended the wait: Finished means the
// procedure returned first (so its own records may be copied back to the
// caller).
int32_t RunWithWaitDialog(WaitDialogHost& host, int kind, WaitProcedure procedure,
                          unsigned timerIntervalMs = kWaitTimerIntervalMs, WaitEnd* end = nullptr);

// Number of worker threads still running (abandoned ones included).
int RunningWaitWorkers();
// Waits up to `timeout` for every worker thread to end; true when none is
// left. Call before destroying what workers reference (the HTTP client,
// the prompts), e.g. at the end of a test or of the program.
bool WaitForWaitWorkers(std::chrono::milliseconds timeout);

}  // namespace quon
