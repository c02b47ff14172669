#include "frontend/win/UserPrompts_win.h"
#include "base/ProgramText.h"
#include "frontend/win/Dialog_win.h"
#include "frontend/win/UiThread_win.h"
#include "frontend/win/WaitDialog_win.h"
#include "resource.h"

namespace quon::win {

std::string AppTitle() {
  std::string title = LoadResourceString(IDS_APP_TITLE);
  return title.empty() ? std::string("QUON Update") : title;
}

WinUserPrompts::WinUserPrompts() : UiThreadPrompts(Ui()) {}

namespace {

// MessageBoxA breaks its lines only between words: one word longer than a
// line (a path, a reply without blanks) would make the box wider than the
// screen. Such a word is broken every kBoxWordChars characters.
constexpr size_t kBoxWordChars = 64;

std::string BreakLongWords(const std::string& text) {
  const bool utf8 = ProgramTextIsUtf8(text);
  std::string out;
  out.reserve(text.size() + text.size() / kBoxWordChars * 2);
  size_t run = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t n = CharacterLength(text, at, utf8);
    const char c = text[at];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      run = 0;
    } else if (run == kBoxWordChars) {
      out += "\r\n";
      run = 0;
    }
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') ++run;
    out.append(text, at, n);
    at += n;
  }
  return out;
}

// The open wait dialog, else the main window. A hidden owner (the main
// window during start-up) would hide the box from the taskbar: such a box
// has no owner.
HWND BoxOwner() {
  HWND owner = ActiveWaitDialog();
  if (!owner) owner = MainWindow();
  if (owner && (!IsWindow(owner) || !IsWindowVisible(owner))) owner = nullptr;
  return owner;
}

}  // namespace

int WinUserPrompts::ShowMessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon) {
  UINT type =
      (buttons == MsgButtons::YesNo ? MB_YESNO : MB_OK) | (icon == MsgIcon::Stop ? MB_ICONSTOP : MB_ICONEXCLAMATION);
  HWND owner = BoxOwner();
  // An ownerless box holds the whole thread.
  if (!owner) type |= MB_TASKMODAL;
  const std::string title = AppTitle();
  const int answer = MessageBoxA(owner, BreakLongWords(text).c_str(), title.c_str(), type);
  // Only Yes is a yes: a box closed any other way (by its ending wait, or
  // when it could not be shown) answers No.
  if (buttons == MsgButtons::YesNo) return answer == IDYES ? kIdYes : kIdNo;
  return kIdOk;
}

bool WinUserPrompts::RunOwnedDialog(const std::function<void(void* owner)>& show) {
  return RunOnUi([&] { show(BoxOwner()); });
}

bool WinUserPrompts::ShowProxyPrompt(const std::string&, std::string&, std::string&) { return false; }

}  // namespace quon::win
