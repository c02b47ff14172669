// The wait dialog on GTK: the plain form (IDD_INTERNET_WAIT) and the progress
// form (IDD_INTERNET_WAIT_PROGRESS), run modally in a nested main loop.
#pragma once
#include "app/WaitDialog.h"

namespace quon {

class GtkWaitDialogHost : public WaitDialogHost {
 public:
  void RunModal(WaitForm form, WaitDialogEvents& events) override;
};

}  // namespace quon
