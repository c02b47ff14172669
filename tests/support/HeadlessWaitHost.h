// A wait dialog without a window: its own small event loop on the calling
// thread with real timers, for tests and for runs without a display. It
// records what the dialog showed and can press Cancel on a schedule or when
// the progress reaches a given state.
#pragma once
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/WaitDialog.h"

namespace quon {

// What one wait dialog showed, from its creation to its end.
struct WaitDialogRecord {
  WaitForm form = WaitForm::Plain;
  std::string statusText = "Connecting to Internet.";
  std::string detailText = "This may take a few minutes ";
  bool progressBarShown = false;
  int rangeLow = 0;
  int rangeHigh = 0;
  int progressPos = 0;
  std::vector<std::string> statusTexts;  // every text set, in order
  std::vector<std::string> detailTexts;
  std::vector<int> positions;
  bool animationPlayed = false;
  std::vector<unsigned> timersStarted;
  std::vector<unsigned> timersStopped;
  int timerTicks = 0;          // ticks delivered to the dialog
  int doneMessages = 0;        // WM_WAIT_DONE delivered to the dialog
  int cancelPresses = 0;
  bool ended = false;
  int endResult = 0;
  int callsAfterEnd = 0;       // anything the window got after EndDialog
};

class HeadlessWaitHost : public WaitDialogHost {
 public:
  using CancelCondition = std::function<bool(const WaitDialogRecord&)>;

  void RunModal(WaitForm form, WaitDialogEvents& events) override;

  // Script for the next dialogs: press Cancel this long after the dialog
  // opened, and/or as soon as a progress update makes `condition` true.
  void CancelAfter(std::chrono::milliseconds delay);
  void CancelWhen(CancelCondition condition);

  // The dialogs run so far, the last one last.
  std::vector<WaitDialogRecord> Records() const;
  WaitDialogRecord Last() const;
  int DialogsRun() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<WaitDialogRecord> m_records;
  bool m_cancelAfterSet = false;
  std::chrono::milliseconds m_cancelAfter{0};
  CancelCondition m_cancelWhen;
};

}  // namespace quon
