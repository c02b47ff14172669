// The application object: enables control hosting and the common
// controls, runs the main window modally and ends the program with it.
#pragma once
#include "app/Dialog_win.h"

namespace quon::win {

class UpdateApp {
 public:
  // The start-up: everything the program does. Returns the exit code.
  int InitInstance();
};

}  // namespace quon::win
