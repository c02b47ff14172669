// One command-line run: the same session steps the window takes, in the
// same order, with outcomes turned into text and exit codes.
#include "cli/CommandLineRun.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "app/UiThread.h"
#include "app/WaitDialog.h"
#include "cli/CommandLine.h"
#include "cli/ConsolePrompts.h"
#include "cli/ConsoleWaitHost.h"
#include "cli/ExitCodes.h"
#include "update/OleDate.h"
#include "update/Pages.h"
#include "update/UpdateState.h"

namespace quon::cli {

namespace {

// --install all installs at most as many updates as the first list offered
// and kInstallAllChainRounds more (updates that earlier ones lead to, each
// bringing the next version), never more than kMaxInstallAllRounds: a
// server that offers a new update on every round is stopped there.
constexpr size_t kInstallAllChainRounds = 10;
constexpr size_t kMaxInstallAllRounds = 100;

constexpr std::chrono::milliseconds kBusyPoll{100};

int Code(ExitCode code) { return static_cast<int>(code); }

// The session's pages have no window to go to: the command line reports
// the outcomes itself.
class NoPages : public PageSink {
 public:
  explicit NoPages(ConsoleOutput& output) : m_output(output) {}
  void Navigate(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
  void ShowStatus(bool) override {}
  // The time product applications get to close; Ctrl+C shortens it.
  void WaitWhileBusy(unsigned ms) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end && !m_output.InterruptRequested()) {
      std::this_thread::sleep_for(kBusyPoll);
    }
  }

 private:
  ConsoleOutput& m_output;
};

// "7  May 04, 2026  Sample service release  Solver library and notes."
std::string ListLine(const UpdateEntry& entry) {
  const std::string date = entry.m_dtPostDate.valid ? FormatOleDateLong(entry.m_dtPostDate.value) : "-";
  return std::to_string(static_cast<int32_t>(entry.m_nTableID)) + "\t" + OneLine(date) + "\t" +
         OneLine(PageText(entry.m_strName)) + "\t" + OneLine(PageText(entry.m_strDescription));
}

class Run {
 public:
  Run(const CommandLineOptions& options, const UpdateServerSettings& server, const CommandLineSystem& system,
      ConsoleOutput& output, ConsolePrompts& prompts, ConsoleWaitHost& wait, NetEnvironment& net)
      : m_options(options),
        m_wait(wait),
        m_output(output),
        m_prompts(prompts),
        m_pages(output),
        m_system(system),
        m_session(
            m_pages, prompts, net, system.platform, system.windows, [] { return WindowHandle{0}; }, server) {
    m_session.SetAdminPolicy(system.policy.policy);
  }

  ~Run() { m_session.EndRun(); }

  int List() {
    if (const int failed = RequestList()) return failed;
    const UpdateEntryList& list = m_session.State().m_updateList;
    if (list.empty()) {
      m_output.Info(kUpToDateText);
      return Code(ExitCode::Done);
    }
    for (const auto& entry : list) m_output.Info(ListLine(*entry));
    return Code(ExitCode::UpdatesAvailable);
  }

  // An archive the administrator brings as a file, without the server.
  int InstallArchive() {
    m_output.LogOnly("Installing the update archive " + m_options.archiveFile + ".");
    ListOutcome failure = ListOutcome::NotInProductDir;
    const bool found = m_session.FindInstallation(failure);
    TellInterrupted();
    if (m_output.InterruptRequested()) return Code(ExitCode::Interrupted);
    if (!found) return ListFailureCode(failure);
    m_output.Info("Update archive " + m_options.archiveFile);
    const DownloadOutcome unpacked = m_session.UnpackArchiveFile(m_options.archiveFile, m_options.brings);
    if (m_output.InterruptRequested()) return Code(ExitCode::Interrupted);
    if (unpacked == DownloadOutcome::ExchangeFailed) return Code(ExitCode::DownloadFailed);
    return InstallUnpacked(unpacked);
  }

  int InstallOne(uint32_t id) {
    if (const int failed = RequestList()) return failed;
    const UpdateEntry* entry = Find(id);
    if (entry == nullptr) {
      m_output.Error("Update " + std::to_string(static_cast<int32_t>(id)) +
                     " is not offered for this installation; --list shows the updates that are.");
      return Code(ExitCode::Usage);
    }
    return Install(*entry);
  }

  // Every listed update in list order, asking the server again after each
  // one, until the list is empty. An update the server still lists after it
  // was installed is not installed a second time: the run stops there
  // rather than repeat it forever.
  int InstallAll() {
    std::set<uint32_t> installed;
    size_t rounds = 0;
    for (;;) {
      if (const int failed = RequestList()) return failed;
      const UpdateEntryList& list = m_session.State().m_updateList;
      if (list.empty()) {
        m_output.Info(kUpToDateText);
        return Code(ExitCode::Done);
      }
      if (rounds == 0) rounds = std::min(list.size() + kInstallAllChainRounds, kMaxInstallAllRounds);
      const UpdateEntry& next = *list.front();
      if (!installed.insert(next.m_nTableID).second) {
        m_output.Error("The server still offers update " + std::to_string(static_cast<int32_t>(next.m_nTableID)) +
                       " after it was installed; stopping.");
        return Code(ExitCode::ServerFailed);
      }
      if (installed.size() > rounds) {
        m_output.Error("The server still offers updates after " + std::to_string(rounds) +
                       " were installed in this run; stopping. Run the command again to go on.");
        return Code(ExitCode::ServerFailed);
      }
      if (const int failed = Install(next)) return failed;
    }
  }

  // Puts the product back as it was before the last installation; no
  // server is asked.
  int Rollback() {
    const RollbackResult found = m_session.FindRollback();
    TellInterrupted();
    if (found.outcome != RollbackOutcome::Done) return RollbackFailure(found);
    if (!MayCloseProductApplications("nothing was rolled back")) return Code(ExitCode::NotInstalled);
    m_session.CloseProductWindows();
    if (m_output.InterruptRequested()) return Code(ExitCode::Interrupted);
    const RollbackResult done = m_session.RollBack();
    if (done.outcome != RollbackOutcome::Done) return RollbackFailure(done);
    m_output.Info("Rolled back from version " + done.fromVersion + " to version " + done.toVersion + ".");
    return Code(ExitCode::Done);
  }

 private:
  // 0 when the list is there.
  int RequestList() {
    m_output.LogOnly("Asking the server for the updates of this installation.");
    const ListOutcome outcome = m_session.RequestUpdateList();
    TellInterrupted();
    if (m_output.InterruptRequested()) return Code(ExitCode::Interrupted);
    return outcome == ListOutcome::Listed ? 0 : ListFailureCode(outcome);
  }

  int RollbackFailure(const RollbackResult& result) {
    switch (result.outcome) {
      case RollbackOutcome::Done:
        break;
      case RollbackOutcome::NothingToRollBack:
        m_output.Error("There is no installation to roll back.");
        return Code(ExitCode::Usage);
      case RollbackOutcome::TurnedOff:
        m_output.Error("Rollback has been turned off by your administrator.");
        return Code(ExitCode::Usage);
      case RollbackOutcome::NotInProductDir:
        m_output.Error(msg::kNotInProductDir);
        return Code(ExitCode::DiscoveryFailed);
      case RollbackOutcome::InstallationInterrupted:
        m_output.Error(InterruptedInstallationText({InterruptedInstallation::Outcome::Failed, {}}));
        return Code(ExitCode::NotInstalled);
      case RollbackOutcome::Failed:
        m_output.Error(OneLine(result.reason));
        return Code(ExitCode::NotInstalled);
    }
    return 0;
  }

  // What the start did with an installation a crash had interrupted is
  // told once (its failure, through the prompts, as an error).
  void TellInterrupted() {
    for (const InterruptedInstallation& found : m_session.State().m_interrupted) {
      if (found.outcome != InterruptedInstallation::Outcome::Failed && !m_toldInterrupted) {
        m_output.Info(InterruptedInstallationText(found));
      }
    }
    m_toldInterrupted = true;
  }

  static int ListFailureCode(ListOutcome outcome) {
    switch (outcome) {
      case ListOutcome::Listed:
        return 0;
      case ListOutcome::InstallationInterrupted:
        return Code(ExitCode::NotInstalled);
      case ListOutcome::NotInProductDir:
      case ListOutcome::VersionFileInvalid:
        return Code(ExitCode::DiscoveryFailed);
      case ListOutcome::CannotConnect:
      case ListOutcome::Refused:
        break;
    }
    return Code(ExitCode::ServerFailed);
  }

  const UpdateEntry* Find(uint32_t id) const {
    for (const auto& entry : m_session.State().m_updateList) {
      if (entry->m_nTableID == id) return entry.get();
    }
    return nullptr;
  }

  int Install(const UpdateEntry& entry) {
    const auto id = static_cast<int32_t>(entry.m_nTableID);
    m_output.Info("Update " + std::to_string(id) + ": " + OneLine(PageText(entry.m_strName)));
    const DownloadOutcome downloaded = m_session.DownloadAndUnpack(id);
    if (m_output.InterruptRequested()) return Code(ExitCode::Interrupted);
    return InstallUnpacked(downloaded);
  }

  // The road of a downloaded (or copied) archive once it was unpacked.
  int InstallUnpacked(DownloadOutcome downloaded) {
    switch (downloaded) {
      case DownloadOutcome::Ready:
        break;
      case DownloadOutcome::NoListFile:
        m_output.Error(msg::kListFileNotFound);
        return Code(ExitCode::DownloadFailed);
      case DownloadOutcome::Refused:
        return Code(ExitCode::ServerFailed);
      // No reply, or the server's own message instead of the file; or a
      // transfer cut once the file had begun.
      case DownloadOutcome::ExchangeFailed:
        if (m_wait.Stalled()) {
          m_output.Error(m_wait.StalledText());
          return Code(ExitCode::DownloadFailed);
        }
        return Code(m_wait.FileDataArrived() ? ExitCode::DownloadFailed : ExitCode::ServerFailed);
      case DownloadOutcome::InvalidReply:
      case DownloadOutcome::Unverified:
      case DownloadOutcome::UnpackDirFailed:
      case DownloadOutcome::NoCabLibrary:
      case DownloadOutcome::CorruptArchive:
        return Code(ExitCode::DownloadFailed);
      case DownloadOutcome::Held:
        return Code(ExitCode::NotInstalled);
      case DownloadOutcome::VersionUnknown:
        return Code(ExitCode::Usage);
    }
    if (!MayCloseProductApplications()) return Code(ExitCode::NotInstalled);
    m_session.CloseProductWindows();
    // An end asked for before the installation began (while applications
    // were closing) leaves the product as it is; once begun, an installation
    // runs to its end.
    if (m_output.InterruptRequested()) return Code(ExitCode::Interrupted);
    const InstallOutcome outcome = m_session.InstallFiles();
    if (!outcome.complete) {
      m_output.Error("Following file(s) were not updated:");
      const size_t listed = std::min(outcome.failedFiles.size(), kMaxPageFiles);
      for (size_t i = 0; i < listed; ++i) m_output.Error("  " + PageFileEntry(outcome.failedFiles[i]));
      if (listed < outcome.failedFiles.size()) {
        m_output.Error("  " + MoreFilesText(outcome.failedFiles.size() - listed));
      }
      return Code(ExitCode::NotInstalled);
    }
    m_session.RemoveUpdateFiles();
    m_output.Info(msg::kUpdatedSuccessfully);
    return 0;
  }

  // Running product applications are asked to close only with --yes or the
  // user's Yes at the terminal: nobody at the screen could save their work.
  bool MayCloseProductApplications(const char* otherwise = "nothing was installed") {
    if (m_options.yes || CountProductWindows(m_system.windows) == 0) return true;
    std::string answer;
    if (m_output.InputIsTerminal() &&
        m_output.Ask("QUON or Graflux applications are running. Close them now? [y/N] ", answer, false) &&
        (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES")) {
      return true;
    }
    m_output.Error(std::string("QUON or Graflux applications are running; ") + otherwise +
                   ". Close them, or give --yes to have them closed.");
    return false;
  }

  const CommandLineOptions& m_options;
  ConsoleWaitHost& m_wait;
  ConsoleOutput& m_output;
  ConsolePrompts& m_prompts;
  NoPages m_pages;
  const CommandLineSystem& m_system;
  UpdateSession m_session;
  bool m_toldInterrupted = false;
};

}  // namespace

std::vector<std::string> VersionDetails(const UpdateServerSettings& server, const PolicyReading& policy) {
  std::vector<std::string> lines;
  lines.push_back("Update server (built in): " + server.Url());
  for (const std::string& fingerprint : TrustedSignerFingerprints()) {
    lines.push_back("Trusted signer certificate, SHA-256: " + fingerprint);
  }
  if (ArchiveSignatureRequired()) {
    for (const std::string& fingerprint : ConfiguredSigner().revoked) {
      lines.push_back("Revoked certificate (built in), SHA-256: " + fingerprint);
    }
    lines.push_back("Update state (revocations and release files remembered): " + StateFilePath());
  }
  for (const std::string& line : DescribePolicy(policy)) lines.push_back(line);
  if (policy.ok && policy.policy.server) {
    lines.push_back("Update server in force (the administrator's): " + server.UnderPolicy(policy.policy).Url());
  }
  return lines;
}

int RunCommandLine(const std::vector<std::string>& args, const UpdateServerSettings& server,
                   const CommandLineSystem& system) {
  const ParsedCommandLine parsed = ParseCommandLine(args);
  std::unique_ptr<ConsoleSystem> console = OpenProcessConsole();
  const CommandLineOptions& options = parsed.options;
  ConsoleOutput output(*console, parsed.ok && options.quiet);
  if (parsed.ok && !options.logFile.empty()) {
    std::string error;
    if (!output.OpenLog(options.logFile, error)) {
      output.Error("QuonUpdate: " + error);
      return Code(ExitCode::Usage);
    }
  }
  if (!parsed.ok) {
    output.Error("QuonUpdate: " + parsed.error + "\nQuonUpdate --help shows the options.");
    return Code(ExitCode::Usage);
  }
  switch (options.command) {
    case CommandLineOptions::Command::Help: {
      std::string help = HelpText();
      help.pop_back();  // Info ends the line itself
      output.Info(help);
      return Code(ExitCode::Done);
    }
    case CommandLineOptions::Command::Version:
      output.Info(kVersionText);
      for (const std::string& line : VersionDetails(server, system.policy)) output.Info(line);
      return Code(system.policy.ok ? ExitCode::Done : ExitCode::Managed);
    case CommandLineOptions::Command::List:
    case CommandLineOptions::Command::Install:
    case CommandLineOptions::Command::InstallArchive:
    case CommandLineOptions::Command::Rollback:
      break;
  }
  // The administrator's policy decides before anything is sent; one that
  // cannot be read ends the run rather than let the built-in server stand.
  const PolicyReading& policy = system.policy;
  if (!policy.ok) {
    output.Error(policy.error);
    return Code(ExitCode::Managed);
  }
  for (const std::string& warning : policy.warnings) output.Error(warning);
  // An archive from a file is the administrator's own act, and a rollback
  // asks no server.
  if (!policy.policy.updates && options.command != CommandLineOptions::Command::InstallArchive &&
      options.command != CommandLineOptions::Command::Rollback) {
    output.Error(msg::kUpdatesManaged);
    return Code(ExitCode::Managed);
  }

  ConsolePrompts prompts(output, {msg::kCloseApplications});
  std::unique_ptr<HttpClient> http = system.makeHttp(prompts, policy.policy.proxy);
  ConsoleWaitHost wait(output, [&prompts] { prompts.Stop(); });
  NetEnvironment net{*http, prompts, wait};
  int code = 0;
  {
    Run run(options, server.UnderPolicy(policy.policy), system, output, prompts, wait, net);
    if (options.command == CommandLineOptions::Command::List) {
      code = run.List();
    } else if (options.command == CommandLineOptions::Command::InstallArchive) {
      code = run.InstallArchive();
    } else if (options.command == CommandLineOptions::Command::Rollback) {
      code = run.Rollback();
    } else {
      code = options.installAll ? run.InstallAll() : run.InstallOne(options.installId);
    }
    // An interrupted download's worker may still hold the archive open, and
    // Windows deletes no open file: the abandoned workers end first (their
    // transfer is closed at once), and the run's end then removes the file.
    if (code == Code(ExitCode::Interrupted)) {
      prompts.Stop();
      WaitForWaitWorkers(kWorkerExitWait);
    }
  }
  if (code == Code(ExitCode::Interrupted)) output.Error("Interrupted; partial downloads were removed.");
  output.LogOnly("Exit code " + std::to_string(code) + ": " + MeaningOf(static_cast<ExitCode>(code)));
  // A worker that Ctrl+C or the time limit left behind must not outlive the
  // transport and the prompts it uses: the end every program takes.
  LetWorkersEnd([&prompts] { prompts.Stop(); }, code);
  return code;
}

}  // namespace quon::cli
