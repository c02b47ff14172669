// The user-interface thread on Win32: a function posted from any thread
// runs when a message-only window of the thread receives its message, in
// whatever message loop is running then (the main window's, a dialog's, a
// message box's).
#pragma once
#include "app/UiThread.h"

namespace quon::win {

// The thread that first asks for it is the user-interface thread: the
// program's start-up, or a test's main thread.
UiThread& Ui();

}  // namespace quon::win
