// The wait dialog's hand-over to and from its worker, on the windowless
// host: results, the three ways it ends, and what an abandoned worker may
// still do (nothing that reaches the caller or the dialog).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/HeadlessWaitHost.h"
#include "app/UiThread.h"
#include "app/WaitDialog.h"

namespace quon {
namespace {

using namespace std::chrono_literals;

class WaitDialogTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(WaitForWaitWorkers(10s)); }
  HeadlessWaitHost host;
};

// Blocks until cancelled, as a transport does in its polling waits.
int32_t WaitForCancel(const CancelFlag& cancel) {
  while (!cancel.IsCancelled()) std::this_thread::sleep_for(5ms);
  return 7;
}

// Each call runs a worker thread of its own; its result (0 for an
// exception) comes back whatever the kind.
TEST_F(WaitDialogTest, ReturnsTheProcedureResultForEveryKind) {
  struct Case {
    int kind;
    int32_t result;
    WaitForm form;
    bool throws = false;
  };
  for (const Case& c : {Case{0, 1, WaitForm::Plain}, Case{0, 0, WaitForm::Plain}, Case{1, 1, WaitForm::Progress},
                        Case{7, 42, WaitForm::Plain}, Case{-1, -3, WaitForm::Plain},
                        Case{0, 0, WaitForm::Plain, true}, Case{1, 0, WaitForm::Progress, true}}) {
    WaitEnd end = WaitEnd::Cancelled;
    bool sawProgress = false;
    std::thread::id worker = std::this_thread::get_id();
    int32_t result = RunWithWaitDialog(
        host, c.kind,
        [&](ProgressDisplay* progress, const CancelFlag&) {
          sawProgress = progress != nullptr;
          worker = std::this_thread::get_id();
          if (c.throws) throw std::runtime_error("x");
          return c.result;
        },
        kWaitTimerIntervalMs, &end);
    EXPECT_EQ(c.result, result);
    EXPECT_NE(std::this_thread::get_id(), worker);
    EXPECT_EQ(WaitEnd::Finished, end);
    EXPECT_EQ(c.form == WaitForm::Progress, sawProgress);
    WaitDialogRecord dialog = host.Last();
    EXPECT_EQ(c.form, dialog.form);
    EXPECT_EQ(1, dialog.doneMessages);
    EXPECT_EQ(1, dialog.endResult);
    EXPECT_EQ(std::vector<unsigned>{kWaitTimerId}, dialog.timersStarted);
    EXPECT_EQ(std::vector<unsigned>{kWaitTimerId}, dialog.timersStopped);
    EXPECT_TRUE(dialog.animationPlayed);
  }
}

TEST_F(WaitDialogTest, TheTimeLimitIsTenTicksOfTimer333AndAbandonsTheWorker) {
  WaitEnd end = WaitEnd::Finished;
  std::atomic<bool> stopped{false};
  int32_t result = RunWithWaitDialog(
      host, 0,
      [&](ProgressDisplay*, const CancelFlag& cancel) {
        WaitForCancel(cancel);
        stopped = true;
        return 1;
      },
      10, &end);
  EXPECT_EQ(0, result);
  EXPECT_EQ(WaitEnd::TimeLimit, end);
  WaitDialogRecord dialog = host.Last();
  EXPECT_EQ(10, dialog.timerTicks);
  EXPECT_EQ(0, dialog.doneMessages);
  EXPECT_EQ(0, dialog.cancelPresses);
  EXPECT_TRUE(WaitForWaitWorkers(10s));
  EXPECT_TRUE(stopped);  // stopped by the flag, not killed
  EXPECT_EQ(0, dialog.callsAfterEnd);
}

// The progress form counts its limit from the last data received: a worker
// that keeps receiving for thirty intervals is not cut off, and once the
// data stops the limit ends the wait as before.
TEST_F(WaitDialogTest, TheProgressFormsLimitCountsFromTheLastDataReceived) {
  std::atomic<bool> cutOffWhileReceiving{false};
  WaitEnd end = WaitEnd::Finished;
  int32_t result = RunWithWaitDialog(
      host, 1,
      [&](ProgressDisplay* progress, const CancelFlag& cancel) {
        const auto stop = std::chrono::steady_clock::now() + 300ms;
        while (std::chrono::steady_clock::now() < stop) {
          progress->DataReceived(1);
          if (cancel.IsCancelled()) cutOffWhileReceiving = true;
          std::this_thread::sleep_for(2ms);
        }
        return WaitForCancel(cancel);
      },
      10, &end);
  EXPECT_EQ(0, result);
  EXPECT_EQ(WaitEnd::TimeLimit, end);
  EXPECT_FALSE(cutOffWhileReceiving);
  EXPECT_GT(host.Last().timerTicks, 10);
}

TEST_F(WaitDialogTest, CancelEndsOnlyTheProgressForm) {
  host.CancelAfter(30ms);
  WaitEnd end = WaitEnd::Finished;
  EXPECT_EQ(0, RunWithWaitDialog(
                   host, 1, [&](ProgressDisplay*, const CancelFlag& cancel) { return WaitForCancel(cancel); },
                   kWaitTimerIntervalMs, &end));
  EXPECT_EQ(WaitEnd::Cancelled, end);
  EXPECT_EQ(1, host.Last().cancelPresses);

  // The plain form has no Cancel button: the worker runs to its end.
  EXPECT_EQ(3, RunWithWaitDialog(host, 0, [&](ProgressDisplay*, const CancelFlag& cancel) {
              std::this_thread::sleep_for(80ms);
              return cancel.IsCancelled() ? -1 : 3;
            }));
  EXPECT_EQ(0, host.Last().cancelPresses);
}

TEST_F(WaitDialogTest, ProgressReachesTheDialogUntilItEndsAndNeverAfter) {
  std::atomic<bool> release{false};
  std::atomic<int> lateUpdates{0};
  host.CancelWhen([](const WaitDialogRecord& r) { return r.positions.size() >= 2; });
  int32_t result = RunWithWaitDialog(host, 1, [&](ProgressDisplay* progress, const CancelFlag& cancel) {
    progress->SetStatusText("Downloading file...");
    progress->ShowProgressBar(0, 100);
    progress->SetProgressPos(10);
    progress->SetProgressPos(20);
    while (!cancel.IsCancelled()) std::this_thread::sleep_for(2ms);
    // After the abandonment every update is dropped by the channel.
    for (int i = 0; i < 50; ++i) {
      progress->SetDetailText("late");
      progress->SetProgressPos(99);
      ++lateUpdates;
    }
    release = true;
    return 1;
  });
  EXPECT_EQ(0, result);
  EXPECT_TRUE(WaitForWaitWorkers(10s));
  EXPECT_TRUE(release);
  WaitDialogRecord dialog = host.Last();
  EXPECT_EQ("Downloading file...", dialog.statusText);
  EXPECT_TRUE(dialog.progressBarShown);
  EXPECT_EQ(100, dialog.rangeHigh);
  EXPECT_EQ((std::vector<int>{10, 20}), dialog.positions);
  EXPECT_EQ(0, dialog.callsAfterEnd);
}

TEST_F(WaitDialogTest, ACancelArrivingAfterTheResultKeepsTheResult) {
  // The worker stores its result; Cancel is pressed before WM_WAIT_DONE is
  // served. The stored result wins.
  host.CancelWhen([](const WaitDialogRecord& r) { return !r.detailTexts.empty(); });
  WaitEnd end = WaitEnd::Cancelled;
  int32_t result = RunWithWaitDialog(
      host, 1,
      [](ProgressDisplay* progress, const CancelFlag&) {
        progress->SetDetailText("almost");
        return 9;
      },
      kWaitTimerIntervalMs, &end);
  // Either the result was stored before the press (9, finished) or the
  // press came first (0, cancelled): never a mix.
  EXPECT_EQ(end == WaitEnd::Finished ? 9 : 0, result);
}

TEST(CancelFlagTest, AStepUnderwayFinishesBeforeCancelReturnsAndNoneStartsAfter) {
  CancelFlag flag;
  std::atomic<bool> inStep{false};
  std::atomic<int> stepsAfterCancel{0};
  std::atomic<bool> cancelled{false};
  std::thread worker([&] {
    while (flag.RunUnlessCancelled([&] {
      inStep = true;
      std::this_thread::sleep_for(1ms);
      if (cancelled) ++stepsAfterCancel;
      inStep = false;
    })) {
    }
  });
  std::this_thread::sleep_for(20ms);
  flag.Cancel();
  cancelled = true;
  EXPECT_FALSE(inStep);
  worker.join();
  EXPECT_EQ(0, stepsAfterCancel);
}

// A user-interface thread that runs what is posted only when asked.
class ManualUiThread : public UiThread {
 public:
  void Post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(fn));
  }
  bool IsCurrent() const override { return std::this_thread::get_id() == m_ui; }
  size_t Queued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
  }

 private:
  std::thread::id m_ui = std::this_thread::get_id();
  std::mutex m_mutex;
  std::vector<std::function<void()>> m_queue;
};

class CountingPrompts : public UiThreadPrompts {
 public:
  using UiThreadPrompts::UiThreadPrompts;
  std::atomic<int> shown{0};

 protected:
  int ShowMessageBox(const std::string&, MsgButtons, MsgIcon) override { return ++shown, kIdYes; }
  bool ShowProxyPrompt(const std::string&, std::string&, std::string&) override { return ++shown, true; }
};

// At the program's end nobody answers: a worker waiting for an answer, and
// one that asks afterwards, get the answer that does nothing on the user's
// behalf, at once.
TEST(UiThreadPrompts, WorkersGetTheDefaultAnswerOnceStopped) {
  ManualUiThread ui;
  CountingPrompts prompts(ui);
  std::atomic<int> answer{0};
  std::thread waiting([&] { answer = prompts.MessageBox("Sure?", MsgButtons::YesNo); });
  while (ui.Queued() == 0) std::this_thread::sleep_for(1ms);
  prompts.Stop();
  waiting.join();
  EXPECT_EQ(answer, kIdNo);
  std::string user, password;
  std::thread late([&] {
    answer = prompts.MessageBox("Done.");
    EXPECT_FALSE(prompts.PromptProxyCredentials("proxy:3128", user, password));
  });
  late.join();
  EXPECT_EQ(answer, kIdOk);
  EXPECT_EQ(prompts.shown, 0);
  EXPECT_EQ(ui.Queued(), 1u);  // only the first call was ever posted
}

// The end of the program, the windows' and the command line's: the prompts
// stop, it goes on once every worker has ended, and leaves at once,
// destroying nothing, while an abandoned worker still runs.
TEST(LetWorkersEnd, LeavesWithoutDestroyingWhileAWorkerStillRuns) {
  ManualUiThread ui;
  CountingPrompts prompts(ui);
  LetWorkersEnd(prompts, 3, 10ms);  // no worker: returns
  int stops = 0;
  LetWorkersEnd([&stops] { ++stops; }, 3, 10ms);
  EXPECT_EQ(stops, 1);
  EXPECT_EXIT(
      {
        HeadlessWaitHost host;
        host.CancelAfter(10ms);
        RunWithWaitDialog(host, 1, [](ProgressDisplay*, const CancelFlag&) {
          for (;;) std::this_thread::sleep_for(10ms);  // never looks at the flag
          return 0;
        });
        LetWorkersEnd([] {}, 3, 50ms);
        std::exit(0);
      },
      ::testing::ExitedWithCode(3), "");
}
}  // namespace
}  // namespace quon
