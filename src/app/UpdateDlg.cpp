#include "app/UpdateDlg.h"

#include "base/CText.h"
#include "base/Trace.h"

namespace quon {

LinkAction ReadLink(std::string_view url, bool userStarted, bool installPage) {
  const size_t hash = url.rfind('#');
  if (hash == std::string_view::npos) return {};
  const std::string_view tail = url.substr(hash);
  const bool update = PrefixEqualsNoCase(tail, "#update");
  const bool install = PrefixEqualsNoCase(tail, "#install");
  // Server texts stand in the pages as they come: a page may try to reach
  // the actions by itself. Such a navigation goes nowhere.
  if (!userStarted) return update || install ? LinkAction{LinkAction::Refuse} : LinkAction{};
  if (installPage) return install ? LinkAction{LinkAction::Install} : LinkAction{};
  if (!update) return {};
  const int32_t n = CAtoi(tail.substr(7));
  return n != 0 ? LinkAction{LinkAction::Download, n} : LinkAction{};
}

UpdateDlg::UpdateDlg(UpdateView& view, UserPrompts& prompts, NetEnvironment& net, Platform& platform,
                     WindowSystem& windows, std::function<WindowHandle()> ownWindow, UpdateServerSettings server)
    : m_view(view),
      m_prompts(prompts),
      m_pages(view),
      m_session(m_pages, prompts, net, platform, windows, std::move(ownWindow), std::move(server)) {}

void UpdateDlg::ViewPages::WaitWhileBusy(unsigned ms) {
  m_view.SetWaitCursor(true);
  m_view.SleepMs(ms);
  m_view.SetWaitCursor(false);
}

bool UpdateDlg::OnInitDialog() {
  if (!CheckForUpdates()) m_view.EndDialog(kDialogResultCancel);
  return true;
}

void UpdateDlg::OnBeforeNavigate2(const std::string& url, bool userStarted, bool& cancel) {
  const LinkAction action = ReadLink(url, userStarted, State().m_bInstallPage);
  switch (action.kind) {
    case LinkAction::None:
      return;
    case LinkAction::Refuse:
      TraceMessage("Navigation without the user refused:", url);
      cancel = true;
      return;
    case LinkAction::Download:
      cancel = true;
      DownloadUpdate(action.update);
      return;
    case LinkAction::Install:
      cancel = true;
      InstallUpdate();
      return;
  }
}

void UpdateDlg::OnCloseButton() { QuitSequence(); }
void UpdateDlg::OnClose() { QuitSequence(); }
// Enter must not end the window behind the user's back: an unfinished
// update would be left without the question and its files without cleanup.
void UpdateDlg::OnOK() { QuitSequence(); }
void UpdateDlg::OnCancel() {}
void UpdateDlg::OnAbout() { m_view.RunAboutBox(); }

bool UpdateDlg::OnSysCommand(unsigned command) {
  if ((command & 0xFFF0u) != kIdmAboutBox) return false;
  OnAbout();
  return true;
}

void UpdateDlg::QuitSequence() {
  if (m_session.IsIncomplete() &&
      m_prompts.MessageBox(msg::kQuitIncomplete, MsgButtons::YesNo, MsgIcon::Exclamation) != kIdYes) {
    return;
  }
  m_session.EndRun();
  m_view.EndDialog(kDialogResultOk);
}

}  // namespace quon
