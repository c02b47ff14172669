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
  if (!CheckForUpdates()) EndDialog(kDialogResultCancel);
  return true;
}

void UpdateDlg::OnBeforeNavigate2(const std::string& url, bool userStarted, bool& cancel) {
  const LinkAction action = ReadLink(url, userStarted, State().m_bInstallPage);
  if (action.kind == LinkAction::None) return;
  cancel = true;
  if (action.kind == LinkAction::Refuse) {
    TraceMessage("Navigation without the user refused:", url);
    return;
  }
  if (m_linkPending) {
    TraceMessage("Link followed while another one's operation runs, dropped:", url);
    return;
  }
  m_linkPending = true;
  m_view.PostToUiThread([this, lifetime = std::weak_ptr<const int>(m_lifetime), action] {
    if (!lifetime.expired()) FollowLink(action);
  });
}

void UpdateDlg::FollowLink(LinkAction action) {
  struct Done {
    bool& pending;
    ~Done() { pending = false; }
  } done{m_linkPending};
  if (m_ended) return;
  if (action.kind == LinkAction::Download)
    DownloadUpdate(action.update);
  else
    InstallUpdate();
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
  EndDialog(kDialogResultOk);
}

void UpdateDlg::EndDialog(int result) {
  m_ended = true;
  m_view.EndDialog(result);
}

}  // namespace quon
