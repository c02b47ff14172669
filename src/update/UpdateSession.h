// One update run, from finding the installed product to removing the
// update's files: its steps, its state, and the small interfaces through
// which it reaches its surroundings (message boxes, pages, the server link,
// the operating system, the product's windows). It needs no window: a front
// end drives it from its handlers, and a caller without one learns every
// outcome from the steps' results and State().
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/UserPrompts.h"
#include "net/ServerExchange.h"
#include "update/AdminPolicy.h"
#include "update/InstallJournal.h"
#include "update/Installer.h"
#include "update/Platform.h"
#include "update/ProductDiscovery.h"
#include "update/ProductWindows.h"
#include "update/Rollback.h"
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
  bool secure = false;  // HTTPS
  static UpdateServerSettings FromBuildConfig();
  // These settings with the administrator's server in place of them, when
  // the policy names one (its path may be left to the build's).
  UpdateServerSettings UnderPolicy(const AdminPolicy& policy) const;
  std::string Url() const;
};

// Messages of the update run.
namespace msg {
extern const char kNotInProductDir[];
extern const char kVersionFileInvalid[];
extern const char kCannotConnect[];
extern const char kCannotConnectSecurely[];  // followed by the secure channel's sentence
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

// How long the run waits for product applications after asking them to close.
constexpr unsigned kCloseRequestWaitMs = 5000;

// Where the run's pages go: the page file's URL for the browser, and the
// status line below it.
class PageSink {
 public:
  virtual ~PageSink() = default;
  // Loads the URL (the page file the session has just written).
  virtual void Navigate(const std::string& url) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void ShowStatus(bool visible) = 0;
  // Holds the run for `ms` while product applications close, showing the
  // user that the program is busy.
  virtual void WaitWhileBusy(unsigned ms) = 0;
};

// The state of one run.
struct UpdateRunState {
  std::string m_strProductDir;
  InstallationIdentity m_identity;
  std::string m_strUpdateVersion;  // the installed version, as the server gets it
  std::vector<int32_t> m_moduleList;
  bool m_bVersionFileUsed = false;
  UpdateEntryList m_updateList;
  std::string m_strDownloadFile;
  std::string m_strUnpackDir;
  std::string m_strNewVersion;
  UpdateListFile m_listFile;
  bool m_bInstallPage = false;
  bool m_bUpdateComplete = false;
  // What the start found of installations that a crash or a power cut had
  // interrupted, and did with them.
  std::vector<InterruptedInstallation> m_interrupted;
};

// How the request for the list of updates ended. Every failure has been
// told through the prompts.
enum class ListOutcome {
  Listed,
  NotInProductDir,
  VersionFileInvalid,
  CannotConnect,
  Refused,
  InstallationInterrupted,  // an interrupted installation could not be undone yet
};

// How a download and its unpacking ended. Every failure but Ready has been
// told through the prompts (ExchangeFailed by the exchange itself).
enum class DownloadOutcome {
  Ready,            // unpacked, its list file read: the install list is in State()
  NoListFile,       // unpacked, but without a readable list file
  ExchangeFailed,   // no reply, or the user cancelled
  Refused,          // the server answered with its own message
  InvalidReply,     // the reply lacked the update's version
  Unverified,       // the archive's signature or its release file was refused; the archive is gone
  UnpackDirFailed,  // the unpack directory could not be made
  NoCabLibrary,     // the CAB library could not be loaded
  CorruptArchive,   // the archive could not be unpacked
  Held,             // it brings a version outside the administrator's HoldAt; nothing of it stays
  VersionUnknown,   // an archive from a file whose version is not known; nothing of it stays
};

// What an installation left: complete, or the files that were not updated.
struct InstallOutcome {
  bool complete = false;
  std::vector<std::string> failedFiles;
};

class UpdateSession {
 public:
  UpdateSession(PageSink& pages, UserPrompts& prompts, NetEnvironment& net, Platform& platform, WindowSystem& windows,
                std::function<WindowHandle()> ownWindow,
                UpdateServerSettings server = UpdateServerSettings::FromBuildConfig());
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;

  // Finds the installed product and its version, removes what earlier runs
  // left and asks the server for the updates. No page is shown.
  ListOutcome RequestUpdateList();
  // RequestUpdateList, then the list page; false when the list could not be
  // had.
  bool CheckForUpdates();

  // The start of a run without the server: an interrupted installation
  // undone or finished, the leftovers of earlier runs removed, the product
  // and its installed version found (RequestUpdateList begins with it).
  // False, with the failure told and in `failure`, when there is none.
  bool FindInstallation(ListOutcome& failure);

  // Downloads update n under the progress form and unpacks it; no page.
  DownloadOutcome DownloadAndUnpack(int32_t n);
  // The same from an archive the administrator brings as a file (which is
  // copied, never changed): its version is its release file's, or
  // `brings` (empty: none given), which must agree with it.
  DownloadOutcome UnpackArchiveFile(const std::string& file, const std::string& brings);
  // DownloadAndUnpack, then the install page, or a note that the list file
  // is missing.
  void DownloadUpdate(int32_t n);

  // When product applications run: says so, asks them to close and waits.
  void CloseProductWindows();
  // Copies the listed files into the product directory and records the new
  // version (the run is then complete); no page, and the update files stay.
  InstallOutcome InstallFiles();
  // CloseProductWindows, InstallFiles, then the page of the result.
  void InstallUpdate();

  // The start of a rollback (the start-up recovery and clean-up, as for
  // the list) and what the backup offers: Done when there is one to roll
  // back, with its versions. Nothing is told through the prompts.
  RollbackResult FindRollback();
  // Puts the product back as it was before the last installation.
  RollbackResult RollBack();


  // Deletes the archive and the unpacked files of this run.
  void RemoveUpdateFiles();
  // True when updates were offered and none was installed.
  bool IsIncomplete() const;
  // The end of the run: the update files and the page file go.
  void EndRun();

  // Pages.
  void ShowAvailableUpdates();
  void ShowPage(const std::string& html);
  std::string PageFilePath() const;

  const UpdateRunState& State() const { return m_state; }
  // The administrator's policy the run follows: HoldAt, and Rollback (on:
  // the last installation's backup is kept and --rollback allowed,
  // Rollback.h; off: no backup is kept, and one left is deleted by the
  // next installation).
  void SetAdminPolicy(const AdminPolicy& policy) { m_policy = policy; }

 private:
  friend class UpdateSessionTestAccess;  // tests set up a run's state

  // Finds the product directory and the installed version; on failure,
  // tells the user and sets `failure`.
  bool DiscoverProduct(ProductVersion& version, ListOutcome& failure);
  // Under the run lock, before anything reads the product's files: the
  // recovery of interrupted installations and the clean-up. False when an
  // interrupted installation could not be undone yet (not told).
  bool StartRun();
  // The product directory's interrupted installations recovered, and the
  // rollback's result until it can begin (Done with the backup's versions).
  RollbackResult StartRollback(std::unique_ptr<FsDir>& product);
  ServerCall MakeCall(const char* function, bool silent) const;
  // Unpacks the downloaded archive, opened as `archiveName`, into a new
  // directory beside it in `productDir`.
  DownloadOutcome Unpack(FsDir& productDir, const std::string& archiveName,
                         const std::optional<std::string>& offlineBrings);
  // The signature check and the unpacking of a downloaded (or copied)
  // archive that brings `newVersion`; `offlineBrings` for one from a file.
  DownloadOutcome CheckAndUnpack(const std::string& archive, const std::string& newVersion,
                                 const std::optional<std::string>& offlineBrings);
  bool CopyArchiveIn(const std::string& file, const std::string& archive, std::string& why);
  // Why an update that brings `version` is held back.
  std::string HeldText(const std::string& version) const;
  // Tells why unpacking into `unpackPath` failed: the disk's failure, or
  // the archive's.
  void TellUnpackFailure(FsError why, const std::string& unpackPath);
  // Installs the files of the list file's sections for this installation
  // with what `record` adds; false with the entries that failed.
  bool CopyListedFiles(const InstallRecord& record, std::vector<std::string>& failed);
  // The relative paths of every file entry of this installation's sections.
  void ListEveryEntry(std::vector<std::string>& entries) const;
  // Writes the page file; false when it could not be written.
  bool WritePageFile(const std::string& html);
  // Deletes the archive of a download that failed or was refused.
  void DiscardDownload(const std::string& archive);
  int MessageBox(const std::string& text);

  PageSink& m_pages;
  UserPrompts& m_prompts;
  NetEnvironment& m_net;
  Platform& m_platform;
  WindowSystem& m_windows;
  std::function<WindowHandle()> m_ownWindow;
  UpdateServerSettings m_server;
  AdminPolicy m_policy;
  UpdateRunState m_state;
  // Held from discovery to the end of the run: other copies of the updater
  // then know that this one uses the product directory.
  std::unique_ptr<ProductDirectoryLock> m_runLock;
  // Archives of failed downloads that could not be deleted at the time (a
  // given-up transfer still had them open).
  std::vector<std::string> m_undeletedDownloads;
};

}  // namespace quon
