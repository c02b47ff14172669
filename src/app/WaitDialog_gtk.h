// The wait dialog on GTK: the plain form (template 212) and the progress
// form (template 214), run modally in a nested main loop.
#pragma once
#include "app/WaitDialog.h"

namespace quon {

class GtkWaitDialogHost : public WaitDialogHost {
 public:
  void RunModal(WaitForm form, WaitDialogEvents& events) override;
};

}  // namespace quon
