// Helpers shared by the Windows front-end tests.
#pragma once
#include "frontend/win/Dialog_win.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/FieldMap.h"
#include "net/ServerExchange.h"
#include "base/UserPrompts.h"
#include "support/RecordingPrompts.h"

namespace quon::wintest {

using test::RecordingPrompts;  // records boxes, answers OK (Yes to a question)

// Runs the thread's message loop until `done` holds or `timeoutMs` passed;
// returns done().
bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs = 10000);

// Polls (without pumping) until `done` holds or the time passed.
bool WaitUntil(const std::function<bool()>& done, unsigned timeoutMs = 10000);

// On a helper thread: waits (up to `timeoutMs`) until `find` gives a
// window, then runs `act` on it. The destructor stops the wait and joins.
class WhenWindowShows {
 public:
  WhenWindowShows(std::function<HWND()> find, std::function<void(HWND)> act, unsigned timeoutMs = 30000);
  ~WhenWindowShows();
  bool Seen() const { return m_seen; }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_seen{false};
  std::thread m_thread;
};
// A visible window of this process with the class and caption (either may
// be null), or null.
HWND VisibleWindow(const char* className, const char* caption);
void PressButton(HWND dialog, int id);

// The rectangle of a dialog-unit rectangle in the dialog's client pixels.
RECT DialogUnitsToPixels(HWND dialog, int x, int y, int cx, int cy);
// A child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);

std::string ClassNameOf(HWND hwnd);
// The width in pixels of an icon's image, or 0.
int IconWidth(HICON icon);

// A fresh empty directory under the temporary directory (ends with '\').
std::string MakeTempDir(const std::string& prefix);
void RemoveTree(const std::string& dir);

// Full path of the running test executable's directory (ends with '\').
std::string ExeDir();

std::string FileText(const std::string& path);
bool Exists(const std::string& path);

// Common controls and the browser site class (and OLE when asked), for the
// tests that create the program's windows; call once per process.
void InitWindowsUi(bool ole);

// A call of `function` (query and prefix) to 127.0.0.1:`port`.
ServerCall LocalCall(uint16_t port, const std::string& function, bool silent = false);
// The fields of a request body sent with `prefix`, decoded as the server
// decodes them; empty when the body does not start with the prefix.
FieldMap RequestFields(const std::string& body, const std::string& prefix);
// The port of the reference server the test wrapper started, or 0.
uint16_t ReferenceServerPort();

}  // namespace quon::wintest
