#include "update/Rollback.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/CText.h"
#include "base/SystemError.h"
#include "update/InstallJournal.h"
#include "update/Installer.h"

namespace quon {

namespace {

// Staged files kept open until they are flushed together.
constexpr size_t kStagedFlushGroup = 256;

// A file put back or removed, with the directory it is in.
struct Step {
  FsDir* dir = nullptr;
  size_t copy = 0;  // the backup's copy of its old bytes (BackupName), for a file put back
};

// A rename tried again for about a second while another program (a
// scanner) holds one of the files.
FsError RenameRetried(FileSystem& fs, FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) {
  FsError error = FsError::None;
  for (int attempt = 0; attempt <= kBusyRetries; ++attempt) {
    error = fs.Rename(fromDir, from, toDir, to);
    if (error != FsError::Busy && error != FsError::Refused) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryPauseMs));
  }
  return error;
}

class Rollback {
 public:
  Rollback(FileSystem& fs, FsDir& product) : m_fs(fs), m_product(product) {}

  RollbackResult Run() {
    // A committed installation's folder that is still there supersedes the
    // backup; one that has not committed keeps every other out.
    if (!ClearFinishedInstallations(m_fs, m_product)) {
      m_result.outcome = RollbackOutcome::InstallationInterrupted;
      return m_result;
    }
    if (!Plan()) {
      if (m_result.outcome == RollbackOutcome::Failed) m_result.reason += " Nothing was rolled back.";
      return m_result;
    }
    const bool applied = Begin() && Stage() && Append(JournalStage::Staged) && Swap() && FlushDirectories() &&
                         Append(JournalStage::Committed);
    if (m_journalFile) m_fs.Close(*m_journalFile);
    m_journalFile.reset();
    m_folder.reset();
    m_backup.reset();
    m_dirs.clear();  // Windows removes no directory that is held
    if (!applied) {
      // Undone at once; what cannot be is undone by the next start.
      m_result.outcome = RollbackOutcome::Failed;
      const bool undone = m_folderName.empty() || UndoInstallation(m_fs, m_product, m_folderName, m_journal);
      m_result.reason += undone
                             ? std::string(" Nothing was rolled back.")
                             : " " + InterruptedInstallationText({InterruptedInstallation::Outcome::Failed, {}, true});
      return m_result;
    }
    // What stays of the backup or the folder goes at the next start.
    FinishCommittedInstallation(m_fs, m_product, m_folderName, m_journal, false);
    m_result.outcome = RollbackOutcome::Done;
    return m_result;
  }

  // Reads the backup and looks at every target; false (the result says
  // why) when there is nothing to roll back or a target cannot be restored.
  bool Plan() {
    Journal last;
    if (!ReadBackup(m_fs, m_product, last) ||
        m_fs.OpenDir(m_product, std::string(kBackupFolderName), m_backup) != FsError::None) {
      m_result.outcome = RollbackOutcome::NothingToRollBack;
      return false;
    }
    m_result.fromVersion = last.toVersion;
    m_result.toVersion = last.fromVersion;
    m_journal.rollback = true;
    m_journal.fromVersion = last.toVersion;
    m_journal.toVersion = last.fromVersion;
    // Removed once the rollback has committed, when empty; undoing it
    // finds them holding the files put back.
    m_journal.madeDirs = last.madeDirs;
    std::set<std::string> planned;  // temporaries given out, by NameKey of their path
    for (size_t i = 0; i < last.files.size(); ++i) {
      const JournalFile& file = last.files[i];
      const std::string relative = file.dir.empty() ? file.name : file.dir + "/" + file.name;
      FsError error = FsError::None;
      FsDir* dir = Directory(file.dir, error);
      if (error != FsError::None && error != FsError::NotFound) return Fail(error, relative);
      FsInfo info;
      if (dir) error = m_fs.Stat(*dir, file.name, info);
      const bool exists = error == FsError::None;
      if (exists ? info.type != FsType::File || !info.ownerWritable : error != FsError::NotFound) {
        return Fail(error == FsError::None ? FsError::Refused : error, relative);
      }
      if (!file.replaces) {
        // What the installation added goes, unless it has gone already.
        if (exists) m_journal.files.push_back(JournalFile{true, file.dir, file.name, {}, false, true});
        if (exists) m_steps.push_back(Step{dir, 0});
        continue;
      }
      // Its old bytes must be in the backup, a file of its own.
      FsInfo copy;
      if (!dir || m_fs.Stat(*m_backup, BackupName(i), copy) != FsError::None || copy.type != FsType::File) {
        return Fail(FsError::NotFound, relative);
      }
      std::string temporary;
      for (int k = 0; k < kTemporaryNames && temporary.empty(); ++k) {
        const std::string name =
            file.name + std::string(kInstallTemporaryMark) + (k == 0 ? std::string() : std::to_string(k));
        FsInfo taken;
        if (planned.count(NameKey(file.dir + "/" + name)) == 0 && m_fs.Stat(*dir, name, taken) == FsError::NotFound) {
          temporary = name;
        }
      }
      if (temporary.empty()) return Fail(FsError::Exists, relative);
      planned.insert(NameKey(file.dir + "/" + temporary));
      m_journal.files.push_back(JournalFile{exists, file.dir, file.name, temporary, false, false});
      m_steps.push_back(Step{dir, i});
    }
    return true;
  }

  // The folder and its journal, flushed with the folder's name before
  // anything else changes.
  bool Begin() {
    FsError error = FsError::Exists;
    for (int i = 0; i < kUndoFolderNames && error == FsError::Exists; ++i) {
      m_folderName = std::string(kUndoFolderStem) + (i == 0 ? std::string() : std::to_string(i));
      error = m_fs.MakeDir(m_product, m_folderName, true);
    }
    if (error != FsError::None) {
      m_folderName.clear();
      return Fail(error, std::string(kUndoFolderStem));
    }
    const std::string text = JournalText(m_journal);
    if ((error = m_fs.OpenDir(m_product, m_folderName, m_folder)) == FsError::None &&
        (error = m_fs.CreateFile(*m_folder, std::string(kJournalName), true, m_journalFile)) == FsError::None &&
        (error = m_fs.Write(*m_journalFile, text.data(), text.size())) == FsError::None &&
        (error = m_fs.Flush(*m_journalFile)) == FsError::None && (error = m_fs.FlushDir(*m_folder)) == FsError::None) {
      error = m_fs.FlushDir(m_product);
    }
    m_journalSize = text.size();
    return error == FsError::None || Fail(error, m_folderName);
  }

  // Each old file's bytes, copied from the backup beside its target, given
  // the access of the file it replaces and flushed, a group at a time (the
  // flush of the first writes the others' metadata in the same journal
  // commit, where one flush per file would pay a commit each).
  bool Stage() {
    std::vector<std::pair<size_t, std::unique_ptr<FsFile>>> open;
    for (size_t i = 0; i < m_steps.size(); ++i) {
      const JournalFile& file = m_journal.files[i];
      if (file.removes) continue;
      FsDir& dir = *m_steps[i].dir;
      std::unique_ptr<FsFile> in, out;
      FsError error = m_fs.OpenFile(*m_backup, BackupName(m_steps[i].copy), FsAccess::Read, in);
      if (error == FsError::None) error = m_fs.CreateFile(dir, file.temporary, true, out);
      char start[4] = {};
      size_t got = 0;
      if (error == FsError::None) error = m_fs.Read(*in, start, sizeof start, got);
      if (error == FsError::None) error = m_fs.Write(*out, start, got);
      if (error == FsError::None) error = CopyFileData(m_fs, *in, *out);
      if (error == FsError::None) {
        error = m_fs.SetInstalledAccess(*out, dir, file.replaces ? file.name : std::string(),
                                        StartsAsExecutable(std::string_view(start, got)));
      }
      if (in) m_fs.Close(*in);
      if (out) open.emplace_back(i, std::move(out));
      if (error != FsError::None) {
        FlushStaged(open);
        return Fail(error, Relative(file));
      }
      if (open.size() == kStagedFlushGroup && !FlushStaged(open)) return false;
    }
    return FlushStaged(open);
  }

  bool FlushStaged(std::vector<std::pair<size_t, std::unique_ptr<FsFile>>>& open) {
    bool flushed = true;
    for (auto& [index, file] : open) {
      FsError error = m_fs.Flush(*file);
      const FsError closed = m_fs.Close(*file);
      if (error == FsError::None) error = closed;
      if (error != FsError::None && flushed) flushed = Fail(error, Relative(m_journal.files[index]));
    }
    open.clear();
    return flushed;
  }

  bool Append(JournalStage stage) {
    const std::string text = JournalStageLine(stage);
    FsError error = m_fs.Seek(*m_journalFile, m_journalSize);
    if (error == FsError::None) error = m_fs.Write(*m_journalFile, text.data(), text.size());
    if (error == FsError::None) error = m_fs.Flush(*m_journalFile);
    if (error != FsError::None) return Fail(error, m_folderName + "/" + std::string(kJournalName));
    m_journalSize += text.size();
    m_journal.stage = stage;
    return true;
  }

  // Each target into the folder, and its old bytes into its place, in the
  // journal's order (the version's files last).
  bool Swap() {
    for (size_t i = 0; i < m_steps.size(); ++i) {
      const JournalFile& file = m_journal.files[i];
      FsDir& dir = *m_steps[i].dir;
      FsError error = FsError::None;
      if (file.replaces) error = RenameRetried(m_fs, dir, file.name, *m_folder, BackupName(i));
      if (error == FsError::None && !file.removes) error = RenameRetried(m_fs, dir, file.temporary, dir, file.name);
      if (error != FsError::None) return Fail(error, Relative(file));
    }
    return true;
  }

  bool FlushDirectories() {
    FsError error = m_fs.FlushDir(*m_folder);
    for (auto& [relative, dir] : m_dirs) {
      if (error == FsError::None && dir) error = m_fs.FlushDir(*dir);
    }
    if (error == FsError::None) error = m_fs.FlushDir(m_product);
    return error == FsError::None || Fail(error, m_folderName);
  }

  // The directory of the product that `relative` names, held for the run;
  // null with the reason when it cannot be opened (NotFound: it is gone).
  FsDir* Directory(const std::string& relative, FsError& error) {
    error = FsError::None;
    if (relative.empty()) return &m_product;
    const std::string key = NameKey(relative);
    auto found = m_dirs.find(key);
    if (found == m_dirs.end()) {
      std::unique_ptr<FsDir> dir;
      if ((error = OpenBelowProduct(m_fs, m_product, relative, dir)) != FsError::None) return nullptr;
      found = m_dirs.emplace(key, std::move(dir)).first;
    }
    return found->second.get();
  }

  static std::string Relative(const JournalFile& file) {
    return file.dir.empty() ? file.name : file.dir + "/" + file.name;
  }

  bool Fail(FsError error, const std::string& relative) {
    m_result.outcome = RollbackOutcome::Failed;
    m_result.reason = FileErrorMessage(FileCauseOf(error), m_product.Path() + relative);
    return false;
  }

  FileSystem& m_fs;
  FsDir& m_product;
  RollbackResult m_result;
  Journal m_journal;
  std::vector<Step> m_steps;  // one for each file of m_journal
  std::map<std::string, std::unique_ptr<FsDir>> m_dirs;
  std::unique_ptr<FsDir> m_backup, m_folder;
  std::unique_ptr<FsFile> m_journalFile;
  std::string m_folderName;
  uint64_t m_journalSize = 0;
};

}  // namespace

RollbackResult PlanRollback(FileSystem& fs, FsDir& product) {
  RollbackResult result;
  Journal last;
  if (ReadBackup(fs, product, last)) {
    result.outcome = RollbackOutcome::Done;
    result.fromVersion = last.toVersion;
    result.toVersion = last.fromVersion;
  }
  return result;
}

RollbackResult RollBackLastInstallation(FileSystem& fs, FsDir& product) { return Rollback(fs, product).Run(); }

}  // namespace quon
