// The update run: discovery, the list request, the download and unpacking,
// the installation and the removal of the update's files.
#include "update/UpdateSession.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "base/BuildConfig.h"
#include "base/CText.h"
#include "base/DisplayText.h"
#include "base/FsPath.h"
#include "base/SystemError.h"
#include "base/Trace.h"
#include "net/ServerCalls.h"
#include "update/InstallJournal.h"
#include "update/InstallationFile.h"
#include "update/Installer.h"
#include "update/Pages.h"
#include "update/ProductDiscovery.h"
#include "update/ReleaseFile.h"
#include "update/RunFiles.h"
#include "update/UpdateState.h"

namespace quon {

namespace msg {
const char kNotInProductDir[] =
    "Error: The QUON Update executable file \"QuonUpdate.exe\" must be placed in the QUON directory. If QUON is "
    "not installed, please install it from the CD-ROM or original installation files.";
const char kVersionFileInvalid[] = "File \"Quon.Version\" is missing or is invalid. Please contact Norvanta.";
const char kCannotConnect[] =
    "Error: Can not connect to the Norvanta server.\r\nPlease make sure that the computer has the internet "
    "connection.";
const char kCannotConnectSecurely[] = "Error: Can not connect securely to the Norvanta server.\r\n";
const char kOperationFailed[] = "Operation Failed.";
const char kInvalidServerResponse[] = "Error: Invalid server response.";
const char kCabLibraryLoadFailed[] = "Error: Unable to load \"Cablib.dll\"\r\n";
const char kArchiveCorrupted[] = "Error: The downloaded file is corrupted. Please download the file again.";
const char kListFileNotFound[] = "List file was not found";
const char kUpdatedSuccessfully[] = "QUON has been updated successfully.";
const char kCloseApplications[] = "Please close all QUON and Graflux applications.";
const char kQuitIncomplete[] = "QUON Update is not complete. Are you sure that you want to quit?";
const char kStatusOneUpdate[] = "Click on the link to start the update.";
const char kStatusSeveralUpdates[] = "Click on one of the links to start the update.";
}  // namespace msg

namespace {
const char kProductExe[] = "QUON.EXE";
const char kVersionFile[] = "Quon.Version";
const char kListFile[] = "Update.List";
const char kAccepted[] = "ACCEPTED";
const char kDatabase[] = "usermt";
const char kAgent[] = "QuonUpdate";
}  // namespace

UpdateServerSettings UpdateServerSettings::FromBuildConfig() {
  return UpdateServerSettings{kUpdateHost, kUpdatePort, kUpdatePath, std::string_view(kUpdateScheme) == "https"};
}

UpdateServerSettings UpdateServerSettings::UnderPolicy(const AdminPolicy& policy) const {
  if (!policy.server) return *this;
  UpdateServerSettings settings = *this;
  settings.host = policy.server->host;
  settings.port = policy.server->port;
  settings.secure = policy.server->secure;
  if (!policy.server->path.empty()) settings.path = policy.server->path;
  return settings;
}

std::string UpdateServerSettings::Url() const {
  const bool defaultPort = port == (secure ? 443 : 80);
  return std::string(secure ? "https://" : "http://") + host + (defaultPort ? "" : ":" + std::to_string(port)) + path;
}

UpdateSession::UpdateSession(PageSink& pages, UserPrompts& prompts, NetEnvironment& net, Platform& platform,
                             WindowSystem& windows, std::function<WindowHandle()> ownWindow,
                             UpdateServerSettings server)
    : m_pages(pages),
      m_prompts(prompts),
      m_net(net),
      m_platform(platform),
      m_windows(windows),
      m_ownWindow(std::move(ownWindow)),
      m_server(std::move(server)) {}

int UpdateSession::MessageBox(const std::string& text) { return m_prompts.MessageBox(text); }

bool UpdateSession::IsIncomplete() const { return !m_state.m_bUpdateComplete && !m_state.m_updateList.empty(); }

void UpdateSession::EndRun() {
  RemoveUpdateFiles();
  // Without the executable's directory there is no page file of ours to
  // delete (and a bare name would point into the current directory).
  const std::string dir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());
  if (!dir.empty()) DeletePath(m_platform.Files(), dir + kPageFileName);
}

// ---------------------------------------------------------------------------
// Discovery and the update list

bool UpdateSession::DiscoverProduct(ProductVersion& version, ListOutcome& failure) {
  m_state.m_strProductDir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());
  const std::string& dir = m_state.m_strProductDir;

  std::string versionText;
  // An executable path the platform could not give (too long, unreadable)
  // leaves no product directory: that is the same failure as a missing
  // QUON.EXE, never a look into the current directory.
  if (dir.empty() || !ReadProductVersion(m_platform, dir + kProductExe, versionText, version)) {
    MessageBox(msg::kNotInProductDir);
    failure = ListOutcome::NotInProductDir;
    return false;
  }
  if (version.d != 0) return true;
  bool fullRead = false;
  const uint16_t build = ReadVersionFileBuild(dir + kVersionFile, fullRead);
  if (fullRead) m_state.m_bVersionFileUsed = true;
  if (build == 0) {
    MessageBox(msg::kVersionFileInvalid);
    failure = ListOutcome::VersionFileInvalid;
    return false;
  }
  version.d = build;
  return true;
}

ServerCall UpdateSession::MakeCall(const char* function, bool silent) const {
  ServerCall call;
  call.server = m_server.host;
  call.port = m_server.port;
  call.object = m_server.path;
  call.query = std::string(function);
  call.scrambleRequest = true;
  call.unscrambleReply = false;
  call.prefix = function;
  call.agent = kAgent;
  call.silent = silent;
  call.secure = m_server.secure;
  return call;
}

ListOutcome UpdateSession::RequestUpdateList() {
  ListOutcome failure = ListOutcome::NotInProductDir;
  if (!FindInstallation(failure)) return failure;

  FieldMap fields;
  SetIdentityFields(fields, m_state.m_identity, m_state.m_strUpdateVersion);
  fields.Set("DB", kDatabase);
  uint32_t error = 0;
  if (CallServer(m_net, MakeCall("GetUpgradeList", true), fields, &error) == 0) {
    // The call is silent; a server whose certificate did not verify is
    // told as such, not as a missing Internet connection.
    if (const char* why = inet::SecureChannelErrorText(error)) {
      MessageBox(msg::kCannotConnectSecurely + std::string(why) + ".");
    } else {
      MessageBox(msg::kCannotConnect);
    }
    return ListOutcome::CannotConnect;
  }
  const std::string* status = fields.Find("status");
  if (status == nullptr || *status != kAccepted) {
    MessageBox(msg::kOperationFailed);
    return ListOutcome::Refused;
  }
  ReadUpdateTable(fields, m_state.m_updateList);
  return ListOutcome::Listed;
}

bool UpdateSession::StartRun() {
  // Before anything reads the product's files, an installation that a crash
  // or a power cut interrupted is undone (or finished, once it had
  // committed), and what earlier runs left behind when they were ended
  // before cleaning up goes; neither while another copy runs here and may
  // be using them. Leftovers are looked for only beside a product.
  const std::string dir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());
  if (!dir.empty() && !m_runLock) {
    m_runLock = m_platform.HoldProductDirectory(dir, [this, &dir] {
      FileSystem& fs = m_platform.Files();
      m_state.m_interrupted = RecoverInterruptedInstallations(fs, dir, m_policy.rollback);
      // The temporaries of an installation still to be undone stay with it.
      const bool pending = std::any_of(m_state.m_interrupted.begin(), m_state.m_interrupted.end(), [](const auto& f) {
        return f.outcome == InterruptedInstallation::Outcome::Failed;
      });
      std::string version;
      if (!pending && m_platform.QueryProductVersionString(dir + kProductExe, version)) {
        RemoveLeftoversOfEarlierRuns(fs, dir);
      }
    });
  }
  return std::none_of(m_state.m_interrupted.begin(), m_state.m_interrupted.end(),
                      [](const auto& f) { return f.outcome == InterruptedInstallation::Outcome::Failed; });
}

bool UpdateSession::FindInstallation(ListOutcome& failure) {
  if (!StartRun()) {
    for (const InterruptedInstallation& found : m_state.m_interrupted) {
      if (found.outcome == InterruptedInstallation::Outcome::Failed) {
        MessageBox(InterruptedInstallationText(found));
        break;
      }
    }
    failure = ListOutcome::InstallationInterrupted;
    return false;
  }
  const std::string dir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());
  ProductVersion version;
  if (!DiscoverProduct(version, failure)) return false;

  m_state.m_updateList.clear();
  InstallationInfo installation = ReadInstallationFile(dir + kInstallationFileName);
  m_state.m_identity = installation.identity;
  m_state.m_moduleList = installation.modules;
  m_state.m_strUpdateVersion = FormatInstalledVersion(version);
  return true;
}

bool UpdateSession::CheckForUpdates() {
  if (RequestUpdateList() != ListOutcome::Listed) return false;
  ShowAvailableUpdates();
  return true;
}

// ---------------------------------------------------------------------------
// Pages

std::string UpdateSession::PageFilePath() const { return m_state.m_strProductDir + kPageFileName; }

void UpdateSession::ShowAvailableUpdates() {
  m_pages.ShowStatus(false);
  const std::string page = ListPage(m_state.m_updateList);
  const size_t rows = m_state.m_updateList.size();
  if (WritePageFile(page) && rows > 0) {
    m_pages.ShowStatus(true);
    m_pages.SetStatusText(rows == 1 ? msg::kStatusOneUpdate : msg::kStatusSeveralUpdates);
  }
  if (rows > 0) TraceMessage("nRowCount : (PARAM) ", static_cast<int64_t>(rows));
  m_pages.Navigate("file://" + PageFilePath());
}

void UpdateSession::ShowPage(const std::string& html) {
  m_pages.ShowStatus(false);
  WritePageFile(html);
  m_pages.Navigate("file://" + PageFilePath());
}

bool UpdateSession::WritePageFile(const std::string& html) {
  FileSystem& fs = m_platform.Files();
  std::unique_ptr<FsDir> dir;
  // The page is shown, not kept: it need not survive a power cut.
  return fs.OpenRoot(m_state.m_strProductDir, dir) == FsError::None &&
         ReplaceFileContent(fs, *dir, kPageFileName, NewContent{html}, false);
}

// ---------------------------------------------------------------------------
// Download and unpacking

DownloadOutcome UpdateSession::DownloadAndUnpack(int32_t n) {
  // The files of an earlier attempt that ended short of the install page
  // are of no further use.
  RemoveUpdateFiles();
  m_state.m_strDownloadFile.clear();
  m_state.m_strUnpackDir.clear();

  FileSystem& fs = m_platform.Files();
  const std::string archive =
      ChooseArchivePath(m_state.m_strProductDir, n, [&fs](const std::string& path) { return PathExists(fs, path); });

  FieldMap fields;
  SetIdentityFields(fields, m_state.m_identity, m_state.m_strUpdateVersion);
  fields.Set("TableID", std::to_string(n));
  fields.Set("DB", kDatabase);
  // The administrator's HoldAt stops the download at the reply's header:
  // nothing of an update outside it is written. The check runs on the
  // download's worker, with its own copy of the policy.
  ReplyCheck withinHold = [policy = m_policy](const FieldMap& reply) {
    const std::string* status = reply.Find("status");
    const std::string* version = reply.Find("updateversion");
    return status == nullptr || *status != kAccepted || version == nullptr || policy.HoldAllows(*version);
  };
  if (DownloadToFile(m_net, MakeCall("GetUpgradeFile", false), fields, archive,
                     m_policy.holdAt.empty() ? nullptr : withinHold) == 0) {
    DiscardDownload(archive);
    const std::string* version = fields.Find("updateversion");
    if (version != nullptr && !withinHold(fields)) {
      MessageBox(HeldText(*version));
      return DownloadOutcome::Held;
    }
    return DownloadOutcome::ExchangeFailed;
  }

  const std::string* status = fields.Find("status");
  if (status == nullptr || *status != kAccepted) {
    DiscardDownload(archive);
    MessageBox(msg::kOperationFailed);
    return DownloadOutcome::Refused;
  }
  const std::string* newVersion = fields.Find("updateversion");
  if (newVersion == nullptr) {
    DiscardDownload(archive);
    MessageBox(msg::kInvalidServerResponse);
    return DownloadOutcome::InvalidReply;
  }
  return CheckAndUnpack(archive, *newVersion, std::nullopt);
}

DownloadOutcome UpdateSession::UnpackArchiveFile(const std::string& file, const std::string& brings) {
  RemoveUpdateFiles();
  m_state.m_strDownloadFile.clear();
  m_state.m_strUnpackDir.clear();
  // The administrator's file is never changed: it is copied to the
  // product directory as the archive of a download would be, and goes the
  // same road from there.
  FileSystem& fs = m_platform.Files();
  const std::string archive =
      ChooseArchivePath(m_state.m_strProductDir, 0, [&fs](const std::string& path) { return PathExists(fs, path); });
  std::string why;
  if (!CopyArchiveIn(file, archive, why)) {
    DiscardDownload(archive);
    MessageBox(why);
    return DownloadOutcome::ExchangeFailed;
  }
  return CheckAndUnpack(archive, brings, brings);
}

bool UpdateSession::CopyArchiveIn(const std::string& file, const std::string& archive, std::string& why) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(FsPath(file), error)) {
    why = "The update archive " + ShortenPath(file) + " is not a file that can be read.";
    return false;
  }
  std::FILE* in = OpenFile(file, "rb");
  if (in == nullptr) {
    why = "The update archive " + ShortenPath(file) + " cannot be read.";
    return false;
  }
  FileSystem& fs = m_platform.Files();
  const PathParts parts = SplitPath(archive);
  std::unique_ptr<FsDir> dir;
  std::unique_ptr<FsFile> out;
  FsError made = fs.OpenRoot(parts.dir, dir);
  if (made == FsError::None) made = fs.CreateFile(*dir, parts.name, true, out);
  std::vector<char> buffer(1 << 16);
  size_t n = 0;
  while (made == FsError::None && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    made = fs.Write(*out, buffer.data(), n);
  }
  const bool readFailed = std::ferror(in) != 0;
  std::fclose(in);
  if (out && made == FsError::None) made = fs.Close(*out);
  if (made != FsError::None) {
    why = FileErrorMessage(FileCauseOf(made), ShortenPath(archive));
    return false;
  }
  if (readFailed) {
    why = "The update archive " + ShortenPath(file) + " cannot be read.";
    return false;
  }
  return true;
}

std::string UpdateSession::HeldText(const std::string& version) const {
  return "Your administrator holds this installation at version " + m_policy.HoldAtText() + ": the update to version " +
         ShortenText(version, 40) + " is not installed.";
}

DownloadOutcome UpdateSession::CheckAndUnpack(const std::string& archive, const std::string& newVersion,
                                              const std::optional<std::string>& offlineBrings) {
  FileSystem& fs = m_platform.Files();
  // The archive is held from its check to the end of its unpacking, and
  // both read it through what is held: the bytes unpacked are the bytes
  // checked, whatever is done meanwhile to its name.
  std::unique_ptr<FsDir> productDir;
  std::unique_ptr<FsFile> held;
  const PathParts parts = SplitPath(archive);
  std::string heldName;
  if (fs.OpenRoot(parts.dir, productDir) == FsError::None &&
      fs.OpenFile(*productDir, parts.name, FsAccess::Read, held) == FsError::None && fs.IsPrivate(*held)) {
    heldName = fs.NameOfOpen(*held);
  }
  // Nothing of an archive the build cannot vouch for is unpacked: it is
  // deleted at once, and the page stays as it was.
  const SignatureVerdict verdict =
      heldName.empty() ? MakeSignatureVerdict(SignatureProblem::Unreadable) : m_platform.CheckUpdateArchive(heldName);
  if (!verdict.ok) {
    TraceMessage("DownloadUpdate: archive refused:", verdict.reason);
    held.reset();
    DiscardDownload(archive);
    MessageBox(verdict.reason);
    return DownloadOutcome::Unverified;
  }
  m_state.m_strNewVersion = newVersion;
  m_state.m_strDownloadFile = archive;
  const DownloadOutcome outcome = Unpack(*productDir, heldName, offlineBrings);
  if (outcome == DownloadOutcome::Unverified || outcome == DownloadOutcome::Held ||
      outcome == DownloadOutcome::VersionUnknown) {
    // Refused after unpacking: nothing of it stays. What was held goes
    // first, so that the system lets it be deleted.
    held.reset();
    RemoveUpdateFiles();
    m_state.m_strDownloadFile.clear();
    m_state.m_strUnpackDir.clear();
  }
  return outcome;
}

DownloadOutcome UpdateSession::Unpack(FsDir& productDir, const std::string& archiveName,
                                      const std::optional<std::string>& offlineBrings) {
  FileSystem& fs = m_platform.Files();
  const std::string unpackPath =
      ChooseUnpackDirectory(m_state.m_strDownloadFile, [&fs](const std::string& path) { return PathExists(fs, path); });
  // Private to this user, and held while the CAB library writes into it:
  // nobody else can add to, change or swap what is unpacked.
  const std::string unpackName = SplitPath(unpackPath).name;
  std::unique_ptr<FsDir> unpackDir;
  FsError made = fs.MakeDir(productDir, unpackName, true);
  if (made == FsError::None) made = fs.OpenDir(productDir, unpackName, unpackDir);
  if (made != FsError::None) {
    TellUnpackFailure(made, unpackPath);
    return DownloadOutcome::UnpackDirFailed;
  }
  m_state.m_strUnpackDir = unpackPath;

  DoDecabFn decab = nullptr;
  std::string errorText;
  if (!m_platform.LoadCabLibrary(m_state.m_strProductDir, &decab, errorText)) {
    MessageBox(msg::kCabLibraryLoadFailed + errorText);
    return DownloadOutcome::NoCabLibrary;
  }
  const std::string dirName = fs.NameOfOpen(*unpackDir);
  ClearLastSystemError();
  const bool unpacked = decab != nullptr && !dirName.empty() && decab(archiveName.c_str(), dirName.c_str()) != 0;
  const FsError why = unpacked ? FsError::None : LastSystemError();
  // An update may replace the CAB library itself: it is not kept loaded.
  m_platform.ReleaseCabLibrary();
  if (!unpacked) {
    TellUnpackFailure(why, unpackPath);
    return DownloadOutcome::CorruptArchive;
  }
  m_state.m_strUnpackDir = WithTrailingSeparator(m_state.m_strUnpackDir, m_platform.PathSeparator());
  // The signed release file, where there is one, decides the version.
  const std::string unpackedDir = dirName + m_platform.PathSeparator();
  // Once this installation has accepted a signed release file, every
  // archive must carry one: an archive without, signed by another tool,
  // could take it back or name any version.
  const bool signing = ArchiveSignatureRequired();
  const std::string statePath = signing ? m_platform.StateFilePath() : std::string();
  const bool releaseFileRequired = signing && ReadUpdateState(statePath).state.releaseFileSeen;
  const ReleaseVerdict release =
      offlineBrings
          ? CheckOfflineRelease(unpackedDir, m_state.m_strUpdateVersion, *offlineBrings, releaseFileRequired)
          : CheckReleaseFile(unpackedDir, m_state.m_strUpdateVersion, m_state.m_strNewVersion, releaseFileRequired);
  if (!release.ok) {
    MessageBox(release.reason);
    // the caller removes what was unpacked
    return release.versionUnknown ? DownloadOutcome::VersionUnknown : DownloadOutcome::Unverified;
  }
  // Signature and release file have verified: what the file says is
  // remembered, whether or not the installation then succeeds.
  if (signing && release.release) RememberRelease(statePath, release.release->brings, release.release->revokes);
  m_state.m_strNewVersion = release.newVersion;
  if (!m_policy.HoldAllows(m_state.m_strNewVersion)) {
    MessageBox(HeldText(m_state.m_strNewVersion));
    return DownloadOutcome::Held;
  }

  m_state.m_bInstallPage = m_state.m_listFile.ReadListFile(fs, *unpackDir, kListFile, m_prompts);
  return m_state.m_bInstallPage ? DownloadOutcome::Ready : DownloadOutcome::NoListFile;
}

void UpdateSession::TellUnpackFailure(FsError why, const std::string& unpackPath) {
  // A full or failing disk is told as such: the archive is not at fault.
  if (why == FsError::DiskFull || why == FsError::IoError) {
    MessageBox(FileErrorMessage(FileCauseOf(why), ShortenPath(unpackPath)));
  } else {
    MessageBox(msg::kArchiveCorrupted);
  }
}

void UpdateSession::DownloadUpdate(int32_t n) {
  const DownloadOutcome outcome = DownloadAndUnpack(n);
  if (outcome == DownloadOutcome::Ready) {
    ShowPage(InstallPage(m_state.m_listFile, m_state.m_moduleList));
  } else if (outcome == DownloadOutcome::NoListFile) {
    ShowPage(msg::kListFileNotFound);
  }
}

// ---------------------------------------------------------------------------
// Installation

void UpdateSession::CloseProductWindows() {
  if (CountProductWindows(m_windows) == 0) return;
  MessageBox(msg::kCloseApplications);
  RequestProductWindowsClose(m_windows, m_ownWindow ? m_ownWindow() : WindowHandle{0});
  m_pages.WaitWhileBusy(kCloseRequestWaitMs);
}

InstallOutcome UpdateSession::InstallFiles() {
  InstallOutcome outcome;
  std::string compact;
  for (char ch : m_state.m_strNewVersion) {
    if (ch != ' ') compact += ch;
  }
  m_state.m_strNewVersion = compact;
  InstallRecord record;
  record.productExecutable = kProductExe;
  record.fromVersion = m_state.m_strUpdateVersion;
  record.toVersion = m_state.m_strNewVersion;
  // The version file is rewritten with the files, as the last of them,
  // when the installed version came from it.
  record.writeVersionFile = m_state.m_bVersionFileUsed;
  record.keepBackup = m_policy.rollback;
  record.versionFileName = kVersionFile;
  if (record.writeVersionFile && !ParseVersionWords(m_state.m_strNewVersion, record.versionWords)) {
    // The product could not record what it would then be: nothing changes.
    MessageBox(msg::kInvalidServerResponse);
    ListEveryEntry(outcome.failedFiles);
    outcome.failedFiles.push_back(kVersionFile);
    return outcome;
  }
  if (!CopyListedFiles(record, outcome.failedFiles)) return outcome;
  outcome.complete = true;
  m_state.m_bUpdateComplete = true;
  return outcome;
}

void UpdateSession::ListEveryEntry(std::vector<std::string>& entries) const {
  for (const UpdateListSection* section : m_state.m_listFile.SectionsFor(m_state.m_moduleList)) {
    for (const std::string& line : section->m_fileLines) entries.push_back(RelativeEntryPath(line));
  }
}

bool UpdateSession::CopyListedFiles(const InstallRecord& record, std::vector<std::string>& failed) {
  FileSystem& fs = m_platform.Files();
  const std::vector<const UpdateListSection*> sections = m_state.m_listFile.SectionsFor(m_state.m_moduleList);
  failed.clear();
  // The unpacked files are taken only from the directory this run made,
  // still private to it; anything else under its name is not unpacked.
  std::unique_ptr<FsDir> productDir, unpackDir;
  const std::string unpackPath = m_state.m_strUnpackDir;
  const PathParts unpackParts = SplitPath(unpackPath.substr(0, unpackPath.empty() ? 0 : unpackPath.size() - 1));
  ListEveryEntry(failed);
  if (fs.OpenRoot(m_state.m_strProductDir, productDir) == FsError::None) {
    const bool unpacked = unpackParts.dir == m_state.m_strProductDir &&
                          fs.OpenDir(*productDir, unpackParts.name, unpackDir) == FsError::None &&
                          fs.IsPrivate(*unpackDir);
    // An installation without entries reads nothing unpacked.
    if (unpacked || failed.empty()) {
      failed.clear();
      return InstallEntries(fs, *productDir, unpacked ? *unpackDir : *productDir, sections, record, failed, m_prompts);
    }
  }
  if (!failed.empty()) MessageBox("Failed to update file:\r\n" + ShortenPath(failed.front()));
  return failed.empty();
}

void UpdateSession::InstallUpdate() {
  CloseProductWindows();
  const InstallOutcome outcome = InstallFiles();
  if (outcome.complete) {
    ShowPage(msg::kUpdatedSuccessfully);
    RemoveUpdateFiles();
    return;
  }
  ShowPage(ResultsPage(outcome.failedFiles));
}

// ---------------------------------------------------------------------------
// Rollback

RollbackResult UpdateSession::StartRollback(std::unique_ptr<FsDir>& product) {
  RollbackResult result;
  const std::string dir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());
  if (!m_policy.rollback) {
    result.outcome = RollbackOutcome::TurnedOff;
  } else if (dir.empty() || m_platform.Files().OpenRoot(dir, product) != FsError::None) {
    result.outcome = RollbackOutcome::NotInProductDir;
  } else if (!StartRun()) {
    result.outcome = RollbackOutcome::InstallationInterrupted;
  } else {
    result = PlanRollback(m_platform.Files(), *product);
  }
  return result;
}

RollbackResult UpdateSession::FindRollback() {
  std::unique_ptr<FsDir> product;
  return StartRollback(product);
}

RollbackResult UpdateSession::RollBack() {
  std::unique_ptr<FsDir> product;
  const RollbackResult found = StartRollback(product);
  if (found.outcome != RollbackOutcome::Done) return found;
  return RollBackLastInstallation(m_platform.Files(), *product);
}

void UpdateSession::DiscardDownload(const std::string& archive) {
  if (PathExists(m_platform.Files(), archive) && !DeletePath(m_platform.Files(), archive)) {
    m_undeletedDownloads.push_back(archive);
  }
}

void UpdateSession::RemoveUpdateFiles() {
  FileSystem& fs = m_platform.Files();
  RemoveUnpackedAndArchive(fs, m_state.m_strUnpackDir, m_state.m_strDownloadFile);
  // A failed download that a given-up transfer still held open could not
  // be deleted at the time; it gets another try.
  std::vector<std::string> stillThere;
  for (const std::string& archive : m_undeletedDownloads) {
    if (PathExists(fs, archive) && !DeletePath(fs, archive)) stillThere.push_back(archive);
  }
  m_undeletedDownloads.swap(stillThere);
}

}  // namespace quon
