// The windowless wait dialog: one queue of posted events guarded by a mutex,
// served by RunModal on the calling thread, and timers kept as deadlines.
#include "support/HeadlessWaitHost.h"

#include <map>
#include <memory>
#include <thread>

namespace quon {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollSlice{1};

class HeadlessWindow : public WaitDialogWindow {
 public:
  explicit HeadlessWindow(WaitForm form) { m_record.form = form; }

  // Worker side: record and wake the loop; never waits for it.
  void PostDone() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_record.ended) {
      ++m_record.callsAfterEnd;
      return;
    }
    ++m_pendingDone;
  }
  void SetStatusText(const std::string& text) override {
    Update([&](WaitDialogRecord& r) {
      r.statusText = text;
      r.statusTexts.push_back(text);
    });
  }
  void SetDetailText(const std::string& text) override {
    Update([&](WaitDialogRecord& r) {
      r.detailText = text;
      r.detailTexts.push_back(text);
    });
  }
  void ShowProgressBar(int low, int high) override {
    Update([&](WaitDialogRecord& r) {
      r.progressBarShown = true;
      r.rangeLow = low;
      r.rangeHigh = high;
    });
  }
  void SetProgressPos(int pos) override {
    Update([&](WaitDialogRecord& r) {
      r.progressPos = pos;
      r.positions.push_back(pos);
    });
  }

  // UI side.
  void StartTimer(unsigned id, unsigned intervalMs) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_record.timersStarted.push_back(id);
    auto interval = std::chrono::milliseconds(intervalMs);
    m_timers[id] = Timer{interval, Clock::now() + interval};
  }
  void StopTimer(unsigned id) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_record.timersStopped.push_back(id);
    m_timers.erase(id);
  }
  void PlayAnimation() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_record.animationPlayed = true;
  }
  void EndDialog(int result) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_record.ended = true;
    m_record.endResult = result;
    m_timers.clear();
  }

  void Run(WaitDialogEvents& events, bool cancelAfterSet, std::chrono::milliseconds cancelAfter,
           const HeadlessWaitHost::CancelCondition& cancelWhen) {
    const bool canCancel = m_record.form == WaitForm::Progress;
    Clock::time_point cancelAt = cancelAfterSet ? Clock::now() + cancelAfter : Clock::time_point::max();
    events.OnInitDialog(*this);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_record.ended) {
      Clock::time_point next = canCancel ? cancelAt : Clock::time_point::max();
      for (const auto& [id, timer] : m_timers) next = std::min(next, timer.due);
      auto ready = [&] { return m_pendingDone > 0 || m_progressChanged; };
      // Polls in short slices: a test host needs no more, and the loop
      // stays simple whatever the timers and the worker do.
      if (!ready()) {
        const auto until = std::min(next, Clock::now() + kPollSlice);
        lock.unlock();
        std::this_thread::sleep_until(until);
        lock.lock();
      }
      if (m_pendingDone > 0) {
        --m_pendingDone;
        ++m_record.doneMessages;
        lock.unlock();
        events.OnWaitDone();
        lock.lock();
        continue;
      }
      if (m_progressChanged) {
        m_progressChanged = false;
        if (canCancel && cancelWhen && cancelWhen(m_record)) {
          ++m_record.cancelPresses;
          lock.unlock();
          events.OnCancel();
          lock.lock();
        }
        continue;
      }
      const auto now = Clock::now();
      if (canCancel && now >= cancelAt) {
        cancelAt = Clock::time_point::max();
        ++m_record.cancelPresses;
        lock.unlock();
        events.OnCancel();
        lock.lock();
        continue;
      }
      for (auto& [id, timer] : m_timers) {
        if (now >= timer.due) {
          timer.due += timer.interval;
          const unsigned fired = id;
          ++m_record.timerTicks;
          lock.unlock();
          events.OnTimer(fired);
          lock.lock();
          break;  // the handler may have changed the timers
        }
      }
    }
    // A WM_WAIT_DONE still queued goes with the window.
    m_pendingDone = 0;
  }

  WaitDialogRecord Record() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_record;
  }

 private:
  struct Timer {
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };

  template <class F>
  void Update(F change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_record.ended) {
      ++m_record.callsAfterEnd;
      return;
    }
    change(m_record);
    m_progressChanged = true;
  }

  std::mutex m_mutex;
  WaitDialogRecord m_record;
  std::map<unsigned, Timer> m_timers;
  int m_pendingDone = 0;
  bool m_progressChanged = false;
};

}  // namespace

void HeadlessWaitHost::RunModal(WaitForm form, WaitDialogEvents& events) {
  bool cancelAfterSet;
  std::chrono::milliseconds cancelAfter;
  CancelCondition cancelWhen;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    cancelAfterSet = m_cancelAfterSet;
    cancelAfter = m_cancelAfter;
    cancelWhen = m_cancelWhen;
  }
  // Shared, so that the record can be read while a late call arrives.
  auto window = std::make_shared<HeadlessWindow>(form);
  window->Run(events, cancelAfterSet, cancelAfter, cancelWhen);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_records.push_back(window->Record());
}

void HeadlessWaitHost::CancelAfter(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cancelAfterSet = true;
  m_cancelAfter = delay;
}

void HeadlessWaitHost::CancelWhen(CancelCondition condition) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cancelWhen = std::move(condition);
}

std::vector<WaitDialogRecord> HeadlessWaitHost::Records() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_records;
}

WaitDialogRecord HeadlessWaitHost::Last() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_records.empty() ? WaitDialogRecord{} : m_records.back();
}

int HeadlessWaitHost::DialogsRun() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_records.size());
}

}  // namespace quon
