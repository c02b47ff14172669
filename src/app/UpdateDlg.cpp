#include "app/UpdateDlg.h"

#include "net/BuildConfig.h"
#include "net/Trace.h"
#include "update/CText.h"
#include "update/FileOps.h"
#include "update/InstallationFile.h"
#include "update/Pages.h"
#include "update/ProductDiscovery.h"
#include "update/UpdateFiles.h"

namespace quon {

namespace msg {
const char kNotInProductDir[] =
    "Error: The QUON Update executable file \"QuonUpdate.exe\" must be placed in the QUON directory. If QUON is "
    "not installed, please install it from the CD-ROM or original installation files.";
const char kVersionFileInvalid[] = "File \"Quon.Version\" is missing or is invalid. Please contact Norvanta.";
const char kCannotConnect[] =
    "Error: Can not connect to the Norvanta server.\r\nPlease make sure that the computer has the internet "
    "connection.";
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
  return UpdateServerSettings{kUpdateHost, kUpdatePort, kUpdatePath};
}

UpdateDlg::UpdateDlg(UpdateView& view, UserPrompts& prompts, NetEnvironment& net, Platform& platform,
                     WindowSystem& windows, std::function<WindowHandle()> ownWindow, UpdateServerSettings server)
    : m_view(view),
      m_prompts(prompts),
      m_net(net),
      m_platform(platform),
      m_windows(windows),
      m_ownWindow(std::move(ownWindow)),
      m_server(std::move(server)) {}

int UpdateDlg::MessageBox(const std::string& text) { return m_prompts.MessageBox(text); }

// ---------------------------------------------------------------------------
// Window events

bool UpdateDlg::OnInitDialog() {
  if (!CheckForUpdates()) m_view.EndDialog(kDialogResultCancel);
  return true;
}

void UpdateDlg::OnBeforeNavigate2(const std::string& url, bool userStarted, bool& cancel) {
  const size_t hash = url.rfind('#');
  if (hash == std::string::npos) return;
  const std::string_view tail = std::string_view(url).substr(hash);
  if (!userStarted) {
    // Server texts stand in the pages as they come: a page may try to reach
    // the actions by itself. Such a navigation goes nowhere.
    if (PrefixEqualsNoCase(tail, "#update") || PrefixEqualsNoCase(tail, "#install")) {
      TraceMessage("Navigation without the user refused:", url);
      cancel = true;
    }
    return;
  }
  if (m_bInstallPage) {
    if (PrefixEqualsNoCase(tail, "#install")) {
      cancel = true;
      InstallUpdate();
    }
    return;
  }
  if (PrefixEqualsNoCase(tail, "#update")) {
    const int32_t n = CAtoi(tail.substr(7));
    if (n != 0) {
      cancel = true;
      DownloadUpdate(n);
    }
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
  if (!m_bUpdateComplete && !m_updateList.empty()) {
    if (m_prompts.MessageBox(msg::kQuitIncomplete, MsgButtons::YesNo, MsgIcon::Exclamation) != kIdYes) return;
  }
  RemoveUpdateFiles();
  // Without the executable's directory there is no page file of ours to
  // delete (and a bare name would point into the current directory).
  const std::string dir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());
  const std::string page = dir + kPageFileName;
  if (!dir.empty() && PathExists(page)) DeleteFileOnly(page);
  m_view.EndDialog(kDialogResultOk);
}

// ---------------------------------------------------------------------------
// Discovery and the update list

bool UpdateDlg::DiscoverProduct(int32_t& a, int32_t& b, int32_t& c, int32_t& d) {
  m_strProductDir = m_platform.DirectoryOfPath(m_platform.ModuleFileName());

  std::string versionText;
  ProductVersion version;
  // An executable path the platform could not give (too long, unreadable)
  // leaves no product directory: that is the same failure as a missing
  // QUON.EXE, never a look into the current directory.
  if (m_strProductDir.empty() ||
      !ReadProductVersion(m_platform, m_strProductDir + kProductExe, versionText, version)) {
    MessageBox(msg::kNotInProductDir);
    return false;
  }
  if (version.d == 0) {
    bool fullRead = false;
    const uint16_t build = ReadVersionFileBuild(m_strProductDir + kVersionFile, fullRead);
    if (fullRead) m_bVersionFileUsed = true;
    if (build == 0) {
      MessageBox(msg::kVersionFileInvalid);
      return false;
    }
    version.d = build;
  }
  a = version.a;
  b = version.b;
  c = version.c;
  d = version.d;
  return true;
}

ServerCall UpdateDlg::MakeCall(const char* function, bool silent) const {
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
  return call;
}

bool UpdateDlg::CheckForUpdates() {
  int32_t a = 0, b = 0, c = 0, d = 0;
  if (!DiscoverProduct(a, b, c, d)) return false;
  // What earlier runs left behind when they were ended before cleaning up
  // goes now, unless another copy is running here and may be using it.
  m_runLock = m_platform.HoldProductDirectory(m_strProductDir,
                                              [this] { RemoveLeftoversOfEarlierRuns(m_strProductDir); });

  m_updateList.clear();
  InstallationInfo installation = ReadInstallationFile(m_strProductDir + kInstallationFileName);
  m_identity = installation.identity;
  m_moduleList = installation.modules;
  m_strUpdateVersion = FormatInstalledVersion(ProductVersion{a, b, c, d});

  FieldMap fields;
  SetIdentityFields(fields, m_identity, m_strUpdateVersion);
  fields.Set("DB", kDatabase);
  uint32_t error = 0;
  if (CallServer(m_net, MakeCall("GetUpgradeList", true), fields, &error) == 0) {
    MessageBox(msg::kCannotConnect);
    return false;
  }
  const std::string* status = fields.Find("status");
  if (status == nullptr || *status != kAccepted) {
    MessageBox(msg::kOperationFailed);
    return false;
  }
  ReadUpdateTable(fields, m_updateList);
  ShowAvailableUpdates();
  return true;
}

// ---------------------------------------------------------------------------
// Pages

std::string UpdateDlg::PageFilePath() const { return m_strProductDir + kPageFileName; }

void UpdateDlg::NavigateTo(const std::string& url) { m_view.Navigate(url); }

void UpdateDlg::ShowAvailableUpdates() {
  m_view.ShowStatus(false);
  std::string page = FillTemplate(kListHeaderTemplate, {""});
  int rows = 0;
  if (m_updateList.empty()) {
    page += FillTemplate(kListMessageRowTemplate, {kUpToDateText});
  } else {
    for (const auto& entry : m_updateList) {
      std::string row = BuildUpdateRow(*entry);
      page += row;
      ++rows;
      TraceMessage("strText Written. (Length in param)", static_cast<int64_t>(row.size()));
    }
  }
  page += kListFooter;
  if (WriteWholeFile(PageFilePath(), page) && rows > 0) {
    m_view.ShowStatus(true);
    m_view.SetStatusText(rows == 1 ? msg::kStatusOneUpdate : msg::kStatusSeveralUpdates);
  }
  if (rows > 0) TraceMessage("nRowCount : (PARAM) ", static_cast<int64_t>(rows));
  NavigateTo("file://" + PageFilePath());
}

void UpdateDlg::ShowPage(const std::string& html) {
  m_view.ShowStatus(false);
  WriteWholeFile(PageFilePath(), html);
  NavigateTo("file://" + PageFilePath());
}

// ---------------------------------------------------------------------------
// Download and unpacking

void UpdateDlg::DownloadUpdate(int32_t n) {
  // The files of an earlier attempt that ended short of the install page
  // are of no further use.
  RemoveUpdateFiles();
  m_strDownloadFile.clear();
  m_strUnpackDir.clear();

  const std::string archive = ChooseArchivePath(m_strProductDir, n, PathExists);

  FieldMap fields;
  SetIdentityFields(fields, m_identity, m_strUpdateVersion);
  fields.Set("TableID", std::to_string(n));
  fields.Set("DB", kDatabase);
  if (DownloadToFile(m_net, MakeCall("GetUpgradeFile", false), fields, archive) == 0) {
    DiscardDownload(archive);
    return;
  }

  const std::string* status = fields.Find("status");
  if (status == nullptr || *status != kAccepted) {
    DiscardDownload(archive);
    MessageBox(msg::kOperationFailed);
    return;
  }
  const std::string* newVersion = fields.Find("updateversion");
  if (newVersion == nullptr) {
    DiscardDownload(archive);
    MessageBox(msg::kInvalidServerResponse);
    return;
  }
  m_strNewVersion = *newVersion;
  m_strDownloadFile = archive;

  const std::string unpackDir = ChooseUnpackDirectory(archive, PathExists);
  std::error_code ec;
  if (!std::filesystem::create_directory(FsPath(unpackDir), ec) || ec) {
    MessageBox(msg::kArchiveCorrupted);
    return;
  }
  m_strUnpackDir = unpackDir;

  DoDecabFn decab = nullptr;
  std::string errorText;
  if (!m_platform.LoadCabLibrary(m_strProductDir, &decab, errorText)) {
    MessageBox(msg::kCabLibraryLoadFailed + errorText);
    return;
  }
  if (decab == nullptr || decab(m_strDownloadFile.c_str(), m_strUnpackDir.c_str()) == 0) {
    MessageBox(msg::kArchiveCorrupted);
    return;
  }
  m_strUnpackDir = WithTrailingSeparator(m_strUnpackDir, m_platform.PathSeparator());

  std::string page;
  if (m_listFile.ReadListFile(m_strUnpackDir + kListFile, m_prompts)) {
    page = m_listFile.BuildInstallPage(m_moduleList);
    m_bInstallPage = true;
  } else {
    page = msg::kListFileNotFound;
    m_bInstallPage = false;
  }
  ShowPage(page);
}

// ---------------------------------------------------------------------------
// Installation

void UpdateDlg::InstallUpdate() {
  if (CountProductWindows(m_windows) > 0) {
    MessageBox(msg::kCloseApplications);
    RequestProductWindowsClose(m_windows, m_ownWindow ? m_ownWindow() : WindowHandle{0});
    m_view.SetWaitCursor(true);
    m_view.SleepMs(kCloseRequestWaitMs);
    m_view.SetWaitCursor(false);
  }

  std::vector<std::string> failed;
  if (m_listFile.InstallFiles(m_moduleList, m_strProductDir, m_strUnpackDir, failed, m_prompts,
                              m_platform.PathSeparator())) {
    std::string compact;
    for (char ch : m_strNewVersion) {
      if (ch != ' ') compact += ch;
    }
    m_strNewVersion = compact;
    if (RecordNewVersion()) {
      ShowPage(msg::kUpdatedSuccessfully);
      RemoveUpdateFiles();
      m_bUpdateComplete = true;
      return;
    }
    // The files are in place but the product would still report its old
    // version: the update is not finished, and a retry runs it again.
    failed.push_back(kVersionFile);
  }

  std::string results = "Following file(s) were not updated:<BR><BR>";
  for (const std::string& entry : failed) results += entry + "<BR>";
  results += "<BR><BR><BR>";
  results +=
      "Close all open applications and <a href=\"#install\" > <b> Click here to update the files</b> </a> <br>";
  ShowPage(FillTemplate(kMessagePageTemplate, {results}));
}

bool UpdateDlg::RecordNewVersion() {
  if (!m_bVersionFileUsed) return true;
  uint16_t words[4];
  if (!ParseVersionWords(m_strNewVersion, words)) {
    MessageBox(msg::kInvalidServerResponse);
    return false;
  }
  return WriteVersionFile(m_strProductDir + kVersionFile, words);
}

void UpdateDlg::DiscardDownload(const std::string& archive) {
  if (IsRegularFile(archive) && !DeleteFileOnly(archive)) m_undeletedDownloads.push_back(archive);
}

void UpdateDlg::RemoveUpdateFiles() {
  RemoveUnpackedAndArchive(m_strUnpackDir, m_strDownloadFile);
  // A failed download that a given-up transfer still held open could not
  // be deleted at the time; it gets another try.
  std::vector<std::string> stillThere;
  for (const std::string& archive : m_undeletedDownloads) {
    if (IsRegularFile(archive) && !DeleteFileOnly(archive)) stillThere.push_back(archive);
  }
  m_undeletedDownloads.swap(stillThere);
}

}  // namespace quon
