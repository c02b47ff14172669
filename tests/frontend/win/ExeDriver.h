// Drives the test build of QuonUpdate.exe from a second process, the way a
// user meets the program: its windows are found by class and caption, their
// texts read through window messages, and buttons, keys and the browser get
// real input (SendInput, after the window is brought to the foreground;
// Wine delivers it through the X display).
#pragma once
#include "support/WinTestSupport.h"  // windows.h first

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "support/FaultServer.h"

namespace quon::wintest {

// The program, started from a product directory.
class AppUnderTest {
 public:
  AppUnderTest() = default;
  ~AppUnderTest();  // ends a process still running
  AppUnderTest(const AppUnderTest&) = delete;
  AppUnderTest& operator=(const AppUnderTest&) = delete;

  // Which QuonUpdate.exe: the test build (exe-under-test\ beside the
  // driver), the shipped one (shipped\), which talks to its own server, or
  // the one the product directory already holds (after it updated itself).
  enum class Build { Test, Shipped, InPlace };
  // Copies QuonUpdate.exe and CABLIB.DLL into `productDir` (unless InPlace)
  // and starts the program there with `arguments`; a test build talks to the
  // server at 127.0.0.1:`port`. With `output`, an inheritable handle, that is
  // the program's standard output and error.
  bool Start(const std::string& productDir, uint16_t port, Build build = Build::Test,
             const std::string& arguments = "", HANDLE output = nullptr);
  // Where Start runs the program from when it is not `productDir` as such:
  // the same folder by a name the ANSI code page cannot spell.
  std::wstring launchDir;
  DWORD Pid() const { return m_info.dwProcessId; }
  bool Running() const;
  // The exit code once the process has ended, or -1 after `timeoutMs`.
  long WaitForExit(unsigned timeoutMs = 30000);

  // Names the link under the pointer: the next real click or Enter in the
  // browser follows it (LinkStandIn.h). False when the program is not there.
  bool PointAtLink(const std::string& url);
  // True once the named link has been followed.
  bool LinkFollowed();

 private:
  PROCESS_INFORMATION m_info = {};
};

// The program's windows: each visible top-level window of process `pid`.
std::vector<HWND> WindowsOf(DWORD pid);
// The main window (IDD_QUONUPDATE_DIALOG), a message box (caption "QUON Update",
// its text in the static control 0xFFFF), and the wait dialog (caption "QUON") in its
// plain form or, with `progress`, its progress form (IDC_PROGRESS); or null.
HWND MainWindowOf(DWORD pid);
HWND MessageBoxOf(DWORD pid);
HWND WaitDialogOf(DWORD pid, bool progress);
// Polls `find` until it gives a window; null after the timeout.
HWND WaitForWindow(const std::function<HWND()>& find, unsigned timeoutMs = 30000);

std::string TextOf(HWND window);
std::string ItemText(HWND dialog, int id);
// The message box's text (the static control 0xFFFF).
std::string MessageBoxText(HWND box);

// Real input. The window's top-level window is made the foreground window
// first.
void ClickOn(HWND window);  // the left button at the window's centre
void PressKey(HWND window, WORD virtualKey);

// Answers the message box of `pid` that shows within `timeoutMs` with a
// real click on its button `id` (IDOK, IDYES, IDNO); returns its text, or
// "<no box>".
std::string AnswerMessageBox(DWORD pid, int id, unsigned timeoutMs = 30000);

// Relays the program's requests to the reference server and its replies
// back, and can hold a reply at a chosen byte, so that the dialogs shown
// while the program waits can be looked at for as long as a test needs.
class GatedRelay {
 public:
  explicit GatedRelay(uint16_t upstreamPort);
  uint16_t Port() const { return m_server.Port(); }
  // The next reply (with `fileOnly`, the next reply to GetUpgradeFile)
  // stops after `bytes` of it (0: before its first byte) until Release().
  void HoldNextReply(size_t bytes, bool fileOnly = false);
  void Release() { m_release = true; }
  // True while a reply waits at the gate.
  bool Holding() const { return m_holding; }
  // The reply's total length while it is held.
  size_t HeldReplySize() const { return m_heldSize; }

 private:
  static constexpr size_t kNoHold = static_cast<size_t>(-1);
  void Relay(const test::ReceivedRequest& request, test::FaultConnection& client);
  std::string Upstream(const test::ReceivedRequest& request) const;

  uint16_t m_upstream;
  std::atomic<size_t> m_holdAt{kNoHold};
  std::atomic<bool> m_holdFileOnly{false};
  std::atomic<bool> m_release{false};
  std::atomic<bool> m_holding{false};
  std::atomic<size_t> m_heldSize{0};
  test::FaultServer m_server;  // last: its threads use the members above
};

}  // namespace quon::wintest
