// The main window's logic: the state of one update run and the handlers of
// the window's events. It is portable; a front end hosts it, forwards the
// window's events and implements UpdateView, UserPrompts, WindowSystem and
// the platform services.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ProductWindows.h"
#include "app/UpdateView.h"
#include "net/ServerExchange.h"
#include "net/UserPrompts.h"
#include "update/Platform.h"
#include "update/UpdateEntry.h"
#include "update/UpdateListFile.h"
#include "update/UpdateTable.h"

namespace quon {

// Where the update service lives. Front ends take it from the build's
// configuration (FromBuildConfig); tests point it at a local server.
struct UpdateServerSettings {
  std::string host;
  uint16_t port = 80;
  std::string path;
  static UpdateServerSettings FromBuildConfig();
};

// Messages of the update run.
namespace msg {
extern const char kNotInProductDir[];
extern const char kVersionFileInvalid[];
extern const char kCannotConnect[];
extern const char kOperationFailed[];
extern const char kInvalidServerResponse[];
extern const char kCabLibraryLoadFailed[];  // followed by the system's text
extern const char kArchiveCorrupted[];
extern const char kListFileNotFound[];
extern const char kUpdatedSuccessfully[];
extern const char kCloseApplications[];
extern const char kQuitIncomplete[];
extern const char kStatusOneUpdate[];
extern const char kStatusSeveralUpdates[];
}  // namespace msg

constexpr int kDialogResultOk = 1;
constexpr int kDialogResultCancel = 2;
constexpr unsigned kIdmAboutBox = 16;
constexpr unsigned kCloseRequestWaitMs = 5000;

class UpdateDlg {
 public:
  UpdateDlg(UpdateView& view, UserPrompts& prompts, NetEnvironment& net, Platform& platform,
            WindowSystem& windows, std::function<WindowHandle()> ownWindow,
            UpdateServerSettings server = UpdateServerSettings::FromBuildConfig());
  virtual ~UpdateDlg() = default;
  UpdateDlg(const UpdateDlg&) = delete;
  UpdateDlg& operator=(const UpdateDlg&) = delete;

  // Events the front end forwards.
  // Runs CheckForUpdates; when it fails the dialog ends with the cancel
  // result. Returns true (the framework's default focus).
  bool OnInitDialog();
  // The browser control's navigation event: recognises "#update<n>" and
  // "#install" links, sets `cancel` and runs the operation to its end.
  // Only a navigation the user started (a click or Enter on a link) may run
  // an operation; any other that names "#update" or "#install" (a refresh,
  // a frame, a form of a hostile page) is cancelled and runs nothing.
  void OnBeforeNavigate2(const std::string& url, bool userStarted, bool& cancel);
  void OnCloseButton();  // command 1002
  void OnClose();        // the window's close command
  void OnOK();           // Enter: the same quit sequence as Close
  void OnCancel();       // Escape: nothing
  void OnAbout();        // command 1009 and the system menu's About entry
  // A system command; true when it was the About entry (handled here),
  // false when the front end should apply its default handling.
  bool OnSysCommand(unsigned command);

  // The stages of a run.
  bool CheckForUpdates();
  virtual void DownloadUpdate(int32_t n);
  virtual void InstallUpdate();
  void RemoveUpdateFiles();

  // Pages.
  void ShowAvailableUpdates();
  void ShowPage(const std::string& html);
  void NavigateTo(const std::string& url);
  std::string PageFilePath() const;

  // State of the run (read by the front ends and tests).
  InstallationIdentity m_identity;
  std::string m_strUpdateVersion;
  std::vector<int32_t> m_moduleList;
  bool m_bVersionFileUsed = false;
  bool m_bInstallPage = false;
  bool m_bUpdateComplete = false;
  UpdateListFile m_listFile;
  std::string m_strNewVersion;
  std::string m_strProductDir;
  std::string m_strDownloadFile;
  std::string m_strUnpackDir;
  UpdateEntryList m_updateList;

 private:
  bool DiscoverProduct(int32_t& a, int32_t& b, int32_t& c, int32_t& d);
  void QuitSequence();
  ServerCall MakeCall(const char* function, bool silent) const;
  // Writes the update's version into Quon.Version when the installed
  // version came from it; false (the update is not finished) when the
  // reply's version is not four numbers or the file cannot be written.
  bool RecordNewVersion();
  // Deletes the archive of a download that failed or was refused.
  void DiscardDownload(const std::string& archive);
  int MessageBox(const std::string& text);

  UpdateView& m_view;
  UserPrompts& m_prompts;
  NetEnvironment& m_net;
  Platform& m_platform;
  WindowSystem& m_windows;
  std::function<WindowHandle()> m_ownWindow;
  UpdateServerSettings m_server;
  // Held from discovery to the end of the run: other copies of the updater
  // then know that this one uses the product directory.
  std::unique_ptr<ProductDirectoryLock> m_runLock;
  // Archives of failed downloads that could not be deleted at the time (a
  // given-up transfer still had them open).
  std::vector<std::string> m_undeletedDownloads;
};

}  // namespace quon
