// The user-interface thread on GTK: a function posted from any thread runs
// from an idle source of the default main context, in the order posted, in
// whatever main loop is running then (the main window's, a dialog's, a
// message box's).
#pragma once
#include "app/UiThread.h"

namespace quon::gtkui {

// Once, on the user-interface thread (Init calls it): that thread is the one
// IsUiThread names.
void RememberUiThread();
bool IsUiThread();

UiThread& Ui();

}  // namespace quon::gtkui
