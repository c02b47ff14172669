// The record an installation keeps in the product directory while it runs:
// a folder of its own ("QuonUpdate.undo", or that name with a number after
// it) holding the journal of what it changes and the files it replaces, so
// that a failure part way, or a crash or power cut, can be undone, and an
// installation that has committed can be finished.
//
// The journal is a text of lines, flushed before the installation changes
// anything; lines are appended later, each time flushed: "staged" once every
// new file is written and flushed beside its target (the first rename comes
// after it), with an "inplace N" line before it for each file that is to be
// rewritten in place, and "committed" once every file is in place and its
// directory flushed. Until "committed", undoing brings every file back:
//   - a replaced file, from its copy in the folder (named by its number in
//     the journal), renamed back over whatever stands in its place, or
//     written back in place where its directory takes no new file;
//   - an added file, deleted when its staged temporary is gone (it was
//     renamed into place);
//   - the directories the installation made, removed when empty.
// Every step looks at what is on the disk, so undoing may be repeated after
// a crash in the middle of it.
//
// Once an installation has committed, its folder becomes the backup of the
// last installation (kBackupFolderName) unless backups are turned off: the
// copies of the files it replaced and the journal naming the ones it added.
// A committed folder always supersedes the backup that stands, which
// describes the state before an earlier installation: that one is deleted
// first (its journal first, so that what is left of it is no backup), and
// only then is the folder renamed, so that after a crash at any point the
// backup (or none) matches the product. A rollback is an installation
// whose new files are the backup's copies and which removes the files the
// last installation added ("remove" lines); its journal says "rollback",
// and once it has committed, the backup goes.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/FileSystem.h"

namespace quon {

// The installation's folder: kUndoFolderStem, else the stem and 1, 2, ...
constexpr std::string_view kUndoFolderStem = "QuonUpdate.undo";
constexpr int kUndoFolderNames = 1000;
bool IsUndoFolderName(std::string_view name);
// The last installation's backup: the folder of that installation, kept.
constexpr std::string_view kBackupFolderName = "QuonUpdate.Backup";
// The journal inside it.
constexpr std::string_view kJournalName = "journal";
// The longest journal read back, and the most files and directories it may
// name: far more than an installation of the longest list file writes.
constexpr size_t kMaxJournalBytes = size_t(16) << 20;
constexpr size_t kMaxJournalEntries = 200000;

enum class JournalStage { Planned, Staged, Committed };

// One file the installation puts in place.
struct JournalFile {
  bool replaces = false;  // false: the file is added (nothing stood under its name)
  std::string dir;        // its directory below the product directory, names joined by '/'; empty at the top
  std::string name;       // its name in that directory
  std::string temporary;  // the staged new file beside it
  bool inPlace = false;   // its directory takes no new file: it is rewritten in place
  bool removes = false;   // a rollback removes it (moved into the folder, nothing put in its place)
};

struct Journal {
  std::string fromVersion, toVersion;
  std::vector<std::string> madeDirs;  // below the product directory, in the order they were made
  std::vector<JournalFile> files;     // in the order they are put in place
  JournalStage stage = JournalStage::Planned;
  bool rollback = false;  // it puts back what the backup holds
};

// The directory `relative` below the product directory (names joined by
// '/'), opened one name at a time as undoing opens it; `opened` holds it,
// and stays empty for the product directory itself ("").
FsError OpenBelowProduct(FileSystem& fs, FsDir& product, const std::string& relative, std::unique_ptr<FsDir>& opened);

// The name in the folder of the copy of the nth file's old bytes.
std::string BackupName(size_t index);

// The journal as it is written before anything changes (up to its "end"
// line), and the line that records a later stage.
std::string JournalText(const Journal& journal);
std::string JournalStageLine(JournalStage stage);
// Reads a journal back; false when it is not one or was never written to
// its end (then nothing it names was changed).
bool ParseJournal(std::string_view text, Journal& journal);

// Brings the product back to what it was before the installation of
// `journal` (at its stage), then removes the folder `folderName` of
// `product` with everything in it. False, the folder kept for another try,
// when a replaced file could not be brought back.
bool UndoInstallation(FileSystem& fs, FsDir& product, const std::string& folderName, const Journal& journal);
// Removes the folder of an installation that has committed: the copies of
// the replaced files, the journal, the folder. False when something stays.
bool RemoveUndoFolder(FileSystem& fs, FsDir& product, const std::string& folderName);

// What follows the commit of the installation (or rollback) of `journal`
// whose folder is `folderName`: the backup that stands goes; a rollback's
// folder goes after the directories the rolled-back installation made (when
// empty); an installation's folder becomes the backup when `keepBackup`,
// else goes too. False when something stays (for the next start).
bool FinishCommittedInstallation(FileSystem& fs, FsDir& product, const std::string& folderName, const Journal& journal,
                                 bool keepBackup);
// Deletes the backup, its journal first. False when something stays.
bool RemoveBackup(FileSystem& fs, FsDir& product);
// The backup's journal when there is a backup to roll back: the folder and
// its journal this user's own and nobody else's, a journal of an
// installation that committed. False otherwise.
bool ReadBackup(FileSystem& fs, FsDir& product, Journal& journal);

// Removes the folders of installations that committed, before a new one
// begins (the backup with them: it no longer matches the product); false (nothing to begin) while another's folder is
// there that has not committed, or cannot be read: it is still running (another copy), or it is for the next start to
// undo.
bool ClearFinishedInstallations(FileSystem& fs, FsDir& product);

// What the start of a run found of an installation that did not end.
struct InterruptedInstallation {
  enum class Outcome { Undone, Finished, Failed } outcome = Outcome::Undone;
  std::string version;  // the version the product is at now (Failed: the one it was installing)
  bool rollback = false;
};

// Finishes or undoes every installation of the product directory that a
// crash or a power cut interrupted, as its journal says. Must run before
// anything reads the product's files, and only while no other copy of the
// updater runs on the directory. A folder that is not this user's own (and
// nobody else's), or whose journal cannot be read (another copy, in another
// session, still writes it), is left alone and told as Failed.
// A committed installation's folder becomes the backup when `keepBackup`.
std::vector<InterruptedInstallation> RecoverInterruptedInstallations(FileSystem& fs, const std::string& productDir,
                                                                     bool keepBackup = true);

// The sentence that tells what was done.
std::string InterruptedInstallationText(const InterruptedInstallation& found);

}  // namespace quon
