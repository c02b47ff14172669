// The main window's logic: start-up, the browser's links, the buttons, the
// close sequence and the pages. The update run itself is an UpdateSession;
// the window's handlers start its steps. It is portable; a front end hosts
// it, forwards the window's events and implements UpdateView, UserPrompts,
// WindowSystem and the platform services.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/UpdateView.h"
#include "update/UpdateSession.h"

namespace quon {

constexpr int kDialogResultOk = 1;
constexpr int kDialogResultCancel = 2;
constexpr unsigned kIdmAboutBox = 16;

// What a navigation in the browser asks for.
struct LinkAction {
  enum Kind { None, Refuse, Download, Install };
  Kind kind = None;
  int32_t update = 0;  // the update to download
};

// Reads a navigation: "#update<n>" on the list page and "#install" on the
// install page start an operation when the user started the navigation (a
// click or Enter on a link). Any other navigation that names one of them (a
// refresh, a frame, a form of a hostile page) is refused; the rest are left
// to the browser.
LinkAction ReadLink(std::string_view url, bool userStarted, bool installPage);

class UpdateDlg {
 public:
  UpdateDlg(UpdateView& view, UserPrompts& prompts, NetEnvironment& net, Platform& platform, WindowSystem& windows,
            std::function<WindowHandle()> ownWindow,
            UpdateServerSettings server = UpdateServerSettings::FromBuildConfig());
  UpdateDlg(const UpdateDlg&) = delete;
  UpdateDlg& operator=(const UpdateDlg&) = delete;

  // Events the front end forwards.
  // Runs CheckForUpdates; when it fails the dialog ends with the cancel
  // result. Returns true (the framework's default focus).
  bool OnInitDialog();
  // The browser control's navigation event: reads the link at once and sets
  // `cancel` for the links ReadLink recognises or refuses. The control waits
  // inside the event for that answer, and an operation runs dialogs and
  // message loops of its own: a followed link's operation is posted to the
  // user-interface thread and runs to its end once the event has returned,
  // unless the window has ended by then. One at a time: a link followed
  // while another's operation waits or runs is cancelled and dropped.
  void OnBeforeNavigate2(const std::string& url, bool userStarted, bool& cancel);
  void OnCloseButton();  // IDC_CLOSE_BUTTON
  void OnClose();        // the window's close command
  void OnOK();           // Enter: the same quit sequence as Close
  void OnCancel();       // Escape: nothing
  void OnAbout();        // IDC_ABOUT_BUTTON and the system menu's About entry
  // A system command; true when it was the About entry (handled here),
  // false when the front end should apply its default handling.
  bool OnSysCommand(unsigned command);

  // The steps of the run the window starts.
  bool CheckForUpdates() { return m_session.CheckForUpdates(); }
  void DownloadUpdate(int32_t n) { m_session.DownloadUpdate(n); }
  void InstallUpdate() { m_session.InstallUpdate(); }
  void RemoveUpdateFiles() { m_session.RemoveUpdateFiles(); }

  UpdateSession& Session() { return m_session; }
  const UpdateRunState& State() const { return m_session.State(); }

 private:
  // The session's pages go to the window's browser and status line.
  class ViewPages : public PageSink {
   public:
    explicit ViewPages(UpdateView& view) : m_view(view) {}
    void Navigate(const std::string& url) override { m_view.Navigate(url); }
    void SetStatusText(const std::string& text) override { m_view.SetStatusText(text); }
    void ShowStatus(bool visible) override { m_view.ShowStatus(visible); }
    void WaitWhileBusy(unsigned ms) override;

   private:
    UpdateView& m_view;
  };

  void QuitSequence();
  void EndDialog(int result);
  // The posted half of OnBeforeNavigate2.
  void FollowLink(LinkAction action);

  UpdateView& m_view;
  UserPrompts& m_prompts;
  ViewPages m_pages;
  UpdateSession m_session;
  bool m_ended = false;        // EndDialog was called
  bool m_linkPending = false;  // a followed link's operation waits or runs
  // Held by the window alone: a posted operation that outlives the window
  // finds it expired and does nothing.
  std::shared_ptr<const int> m_lifetime = std::make_shared<const int>(0);
};

}  // namespace quon
