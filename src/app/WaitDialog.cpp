// The wait dialog's logic: one worker thread per call, the result handed
// back through the shared record, and the three ways the dialog ends.
#include "app/WaitDialog.h"

#include "app/UiThread.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quon {
namespace {

// Never destroyed: a worker abandoned near the end of the program may still
// be finishing while static objects are torn down.
std::mutex& WorkersMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
int g_runningWorkers = 0;

void WorkerStarted() {
  std::lock_guard<std::mutex> lock(WorkersMutex());
  ++g_runningWorkers;
}

// Worker threads are kept, not detached, and joined once they have ended:
// with winpthreads a thread detached at once can vanish before it runs (seen
// under Wine). The list is never destroyed, so workers still running at exit
// are simply left to the process's end.
struct WorkerThread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> ended;
};
std::vector<WorkerThread>& KeptWorkers() {
  static auto* workers = new std::vector<WorkerThread>;
  return *workers;
}
std::mutex& KeptWorkersMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
void KeepWorker(std::thread thread, std::shared_ptr<std::atomic<bool>> ended) {
  std::lock_guard<std::mutex> lock(KeptWorkersMutex());
  auto& workers = KeptWorkers();
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->ended->load()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
  workers.push_back({std::move(thread), std::move(ended)});
}

void WorkerEnded() {
  std::lock_guard<std::mutex> lock(WorkersMutex());
  --g_runningWorkers;
}

}  // namespace

// ---- WaitChannel ------------------------------------------------------

void WaitChannel::Attach(WaitDialogWindow* window) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_window = window;
}

void WaitChannel::PostDone() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_window) m_window->PostDone();
}

void WaitChannel::SetStatusText(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_window) m_window->SetStatusText(text);
}

void WaitChannel::SetDetailText(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_window) m_window->SetDetailText(text);
}

void WaitChannel::ShowProgressBar(int low, int high) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_window) m_window->ShowProgressBar(low, high);
}

void WaitChannel::SetProgressPos(int pos) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_window) m_window->SetProgressPos(pos);
}

void WaitChannel::DataReceived(size_t bytes) {
  m_dataReceived.store(true, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_window) m_window->DataReceived(bytes);
}

// ---- PostingWaitDialogWindow -------------------------------------------

PostingWaitDialogWindow::PostingWaitDialogWindow(UiThread& ui, WaitDialogEvents& events)
    : m_ui(ui), m_events(events), m_open(std::make_shared<bool>(true)) {}

PostingWaitDialogWindow::~PostingWaitDialogWindow() { Closed(); }

void PostingWaitDialogWindow::Post(std::function<void()> apply) {
  m_ui.Post([open = m_open, apply = std::move(apply)] {
    if (*open) apply();
  });
}

void PostingWaitDialogWindow::PostDone() {
  Post([this] { m_events.OnWaitDone(); });
}

void PostingWaitDialogWindow::SetStatusText(const std::string& text) {
  Post([this, text] { ApplyStatusText(text); });
}

void PostingWaitDialogWindow::SetDetailText(const std::string& text) {
  Post([this, text] { ApplyDetailText(text); });
}

void PostingWaitDialogWindow::ShowProgressBar(int low, int high) {
  Post([this, low, high] { ApplyProgressBar(low, high); });
}

void PostingWaitDialogWindow::SetProgressPos(int pos) {
  Post([this, pos] { ApplyProgressPos(pos); });
}

// ---- the worker -------------------------------------------------------

int WaitWorkerProc(std::shared_ptr<WaitThreadParams> params) {
  int32_t result = 0;
  try {
    result = params->procedure(params->progressForm ? &params->window : nullptr, params->cancel);
  } catch (...) {
    // A procedure reports its own failures; anything escaping it (the
    // abandonment, a failed allocation) is a failure result.
    result = 0;
  }
  {
    std::lock_guard<std::mutex> lock(params->mutex);
    if (!params->abandoned) {
      params->result = result;
      params->finished = true;
    }
  }
  params->window.PostDone();
  return 0;
}

// ---- InternetWaitDlg --------------------------------------------------

InternetWaitDlg::InternetWaitDlg(std::shared_ptr<WaitThreadParams> params, unsigned timerIntervalMs)
    : m_params(std::move(params)), m_intervalMs(timerIntervalMs) {}

void InternetWaitDlg::OnInitDialog(WaitDialogWindow& window) {
  m_window = &window;
  window.StartTimer(kWaitTimerId, m_intervalMs);
  m_timer = kWaitTimerId;
  window.PlayAnimation();
  m_params->window.Attach(&window);

  WorkerStarted();
  try {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    KeepWorker(std::thread([params = m_params, ended]() mutable {
      WaitWorkerProc(params);
      params.reset();  // nothing of the call is held once the count drops
      WorkerEnded();
      ended->store(true);
    }), ended);
  } catch (const std::system_error&) {
    WorkerEnded();
    // No worker: end as if the procedure had failed.
    {
      std::lock_guard<std::mutex> lock(m_params->mutex);
      m_params->result = 0;
      m_params->finished = true;
    }
    window.PostDone();
  }
}

void InternetWaitDlg::OnTimer(unsigned id) {
  if (m_ended || id != kWaitTimerId) return;
  // A download that is still receiving data is not cut off: a tick that
  // finds new data starts the count again, so the progress form ends only
  // after ten whole intervals without any.
  if (m_params->progressForm && m_params->window.TakeDataReceived()) {
    m_tickCount = 0;
    return;
  }
  if (++m_tickCount >= kWaitTimerTicksToGiveUp) {
    Abandon();
    End(WaitEnd::TimeLimit);
  }
}

void InternetWaitDlg::OnWaitDone() {
  if (m_ended) return;
  End(WaitEnd::Finished);
}

void InternetWaitDlg::OnCancel() {
  if (m_ended || !m_params->progressForm) return;
  Abandon();
  End(WaitEnd::Cancelled);
}

void InternetWaitDlg::OnStall() {
  if (m_ended || !m_params->progressForm) return;
  m_params->cancel.Cut();
}

void InternetWaitDlg::Abandon() {
  bool abandon = false;
  {
    std::lock_guard<std::mutex> lock(m_params->mutex);
    if (!m_params->finished) {
      m_params->abandoned = true;
      abandon = true;
    }
  }
  // Cut the channel first, so that nothing more reaches this dialog, then
  // stop the worker at its next step.
  m_params->window.Detach();
  if (abandon) m_params->cancel.Cancel();
}

void InternetWaitDlg::End(WaitEnd reason) {
  m_ended = true;
  m_endedBy = reason;
  m_params->window.Detach();
  if (m_window) {
    m_window->StopTimer(m_timer);
    m_window->EndDialog(1);
  }
}

// ---- RunWithWaitDialog ------------------------------------------------

int32_t RunWithWaitDialog(WaitDialogHost& host, int kind, WaitProcedure procedure, unsigned timerIntervalMs,
                          WaitEnd* end) {
  auto params = std::make_shared<WaitThreadParams>();
  params->progressForm = (kind == 1);
  params->procedure = std::move(procedure);

  WaitEnd endedBy = WaitEnd::Cancelled;
  {
    InternetWaitDlg dialog(params, timerIntervalMs);
    try {
      host.RunModal(params->progressForm ? WaitForm::Progress : WaitForm::Plain, dialog);
      endedBy = dialog.EndedBy();
    } catch (...) {
      // The dialog could not run: the worker, if any, is abandoned below.
    }
  }

  // Whatever ended the dialog, a worker that has not finished is abandoned
  // now; its result can no longer reach the caller. One that stored its
  // result in time has finished, whatever ended the dialog.
  int32_t result = 0;
  bool finished = false;
  {
    std::lock_guard<std::mutex> lock(params->mutex);
    finished = params->finished;
    if (!finished) params->abandoned = true;
    result = finished ? params->result : 0;
  }
  params->window.Detach();
  if (!finished) params->cancel.Cancel();
  if (end) *end = finished ? WaitEnd::Finished : endedBy;
  return result;
}

int32_t WaitDialogHost::RunUnderWait(WaitForm form, WaitProcedure procedure, unsigned timerIntervalMs,
                                     WaitEnd* end) {
  return RunWithWaitDialog(*this, form == WaitForm::Progress ? 1 : 0, std::move(procedure), timerIntervalMs, end);
}

int RunningWaitWorkers() {
  std::lock_guard<std::mutex> lock(WorkersMutex());
  return g_runningWorkers;
}

// Polls: it runs once, as the program ends, and needs no signalling.
bool WaitForWaitWorkers(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (RunningWaitWorkers() == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace quon
