// One queue of what the worker posts (the done signal, the progress), served
// on the calling thread by RunModal together with the timer and Ctrl+C.
#include "cli/ConsoleWaitHost.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace quon::cli {

namespace {

using Clock = std::chrono::steady_clock;
// How often the loop looks for Ctrl+C, which a signal handler cannot wake.
constexpr std::chrono::milliseconds kInterruptPoll{100};

class ConsoleWaitWindow : public WaitDialogWindow {
 public:
  ConsoleWaitWindow(ConsoleOutput& output, WaitForm form, const StallRule& stall)
      : m_output(output), m_form(form), m_stall(stall) {}

  // Worker side: queue, wake the loop, never wait for it.
  void PostDone() override {
    Post([this] { m_done = true; });
  }
  void SetStatusText(const std::string& text) override {
    Post([this, text] {
      m_status = text;
      Show(true);
    });
  }
  void SetDetailText(const std::string& text) override {
    Post([this, text] {
      m_detail = text;
      Show(false);
    });
  }
  void ShowProgressBar(int, int high) override {
    Post([this, high] {
      m_barHigh = high;
      m_dataPhase = true;
      Show(false);
    });
  }
  void SetProgressPos(int pos) override {
    Post([this, pos] {
      m_pos = pos;
      // Plain output gets a line per tenth of the download.
      const int tenth = m_barHigh > 0 ? pos * 10 / m_barHigh : 0;
      Show(tenth > m_lastTenth);
      if (tenth > m_lastTenth) m_lastTenth = tenth;
    });
  }

  void DataReceived(size_t bytes) override { m_bytes.fetch_add(bytes, std::memory_order_relaxed); }

  // Loop side.
  void StartTimer(unsigned id, unsigned intervalMs) override {
    const auto interval = std::chrono::milliseconds(intervalMs);
    m_timers[id] = Timer{interval, Clock::now() + interval};
  }
  void StopTimer(unsigned id) override { m_timers.erase(id); }
  void PlayAnimation() override {}
  void EndDialog(int) override { m_ended = true; }

  bool FileDataArrived() const { return m_dataPhase; }
  bool Stalled() const { return m_stalled; }

  // Returns true when Ctrl+C ended the wait.
  bool Run(WaitDialogEvents& events) {
    events.OnInitDialog(*this);
    bool interrupted = false;
    uint64_t stallBase = 0;
    Clock::time_point stallFrom = Clock::now();
    while (!m_ended) {
      if (m_output.InterruptRequested()) {
        interrupted = true;
        // The progress form's Cancel; the plain form simply ends, and the
        // caller abandons its worker.
        if (m_form == WaitForm::Progress) events.OnCancel();
        break;
      }
      if (m_form == WaitForm::Progress) {
        // The stall rule: a window starts again whenever enough has arrived.
        const uint64_t bytes = m_bytes.load(std::memory_order_relaxed);
        // A stall cuts the download's current attempt, which may be tried
        // again; the wait goes on until the download gives up.
        if (bytes - stallBase >= m_stall.minBytes) {
          stallBase = bytes;
          stallFrom = Clock::now();
          m_stalled = false;
        } else if (Clock::now() - stallFrom >= m_stall.window) {
          m_stalled = true;
          stallFrom = Clock::now();
          events.OnStall();
        }
      }
      Clock::time_point next = Clock::now() + kInterruptPoll;
      for (const auto& [id, timer] : m_timers) next = std::min(next, timer.due);
      std::deque<std::function<void()>> posted;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_until(lock, next, [this] { return !m_posted.empty(); });
        posted.swap(m_posted);
      }
      for (auto& apply : posted) apply();
      if (m_done) {
        m_done = false;
        events.OnWaitDone();
        continue;
      }
      const auto now = Clock::now();
      for (auto& [id, timer] : m_timers) {
        if (now >= timer.due) {
          timer.due += timer.interval;
          events.OnTimer(id);
          break;  // the handler may have changed the timers
        }
      }
    }
    if (m_shown) m_output.EndProgress();
    return interrupted;
  }

 private:
  struct Timer {
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };

  void Post(std::function<void()> apply) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_posted.push_back(std::move(apply));
    }
    m_wake.notify_one();
  }

  // The progress form's texts as one line: "Downloading file...  300 KB  of
  // 1234 KB  24%".
  void Show(bool milestone) {
    if (m_form != WaitForm::Progress) return;
    std::string line = m_status;
    if (!m_detail.empty()) line += "  " + m_detail;
    if (m_barHigh > 0 && m_pos >= 0 && m_pos <= m_barHigh) line += "  " + std::to_string(m_pos * 100 / m_barHigh) + "%";
    m_output.Progress(line, milestone);
    m_shown = true;
  }

  ConsoleOutput& m_output;
  const WaitForm m_form;
  const StallRule m_stall;
  std::atomic<uint64_t> m_bytes{0};
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_posted;
  // Loop side only.
  std::map<unsigned, Timer> m_timers;
  bool m_done = false;
  bool m_ended = false;
  bool m_shown = false;
  std::string m_status;
  std::string m_detail;
  int m_barHigh = 0;
  int m_pos = 0;
  int m_lastTenth = 0;
  bool m_dataPhase = false;
  bool m_stalled = false;
};

}  // namespace

void ConsoleWaitHost::RunModal(WaitForm form, WaitDialogEvents& events) {
  // Shared: a worker may still hold the window through the dialog's channel
  // until the channel is cut.
  auto window = std::make_shared<ConsoleWaitWindow>(m_output, form, m_stall);
  const bool interrupted = window->Run(events);
  if (form == WaitForm::Progress) {
    m_fileDataArrived = window->FileDataArrived();
    m_stalled = window->Stalled();
  }
  if (interrupted && m_onInterrupt) m_onInterrupt();
}

std::string ConsoleWaitHost::StalledText() const {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_stall.window).count();
  return "The download stalled: less than " + std::to_string(m_stall.minBytes) + " bytes arrived in " +
         std::to_string(seconds) + " seconds.";
}

}  // namespace quon::cli
