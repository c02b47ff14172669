// Putting the product back as it was before the last installation, from
// that installation's backup (InstallJournal.h): every file it replaced
// gets its old bytes, the product's executable and the version file
// included, and every file it added goes (a version file that did not
// exist is removed again), then the directories it made, when empty.
//
// A rollback is an installation of its own, in a folder of its own with a
// journal that says "rollback": the backup's copies are copied beside
// their targets and flushed, the journal says "staged", each target is
// moved into the folder and its old bytes renamed into its place (or it is
// only moved, for an added file), the files that carry the version last;
// the directories are flushed, the journal says "committed", and then the
// backup and the folder go. The backup is only read until the commit, so a
// failure (undone at once) or a crash or power cut (undone, or finished
// once committed, at the next start) leaves the product and the backup as
// they were, or the product as it was before the last installation and no
// backup.
#pragma once
#include <string>

#include "base/FileSystem.h"

namespace quon {

enum class RollbackOutcome {
  Done,                     // rolled back (PlanRollback: there is a backup to roll back)
  NothingToRollBack,        // no backup, or one that is not this user's own
  TurnedOff,                // the administrator keeps no backups
  InstallationInterrupted,  // an interrupted installation could not be undone yet
  NotInProductDir,
  Failed,  // a file could not be restored: nothing was changed
};

struct RollbackResult {
  RollbackOutcome outcome = RollbackOutcome::NothingToRollBack;
  // The version the product is at, and the one the rollback brings back.
  std::string fromVersion, toVersion;
  // Failed: the sentences that say which file and why, and that nothing
  // was rolled back (or that the next start undoes what was).
  std::string reason;
};

// What a rollback of the product directory would do, read from its backup.
RollbackResult PlanRollback(FileSystem& fs, FsDir& product);
// Rolls the last installation back as described above. Must run only while
// no other copy of the updater runs on the directory, after the start-up
// recovery.
RollbackResult RollBackLastInstallation(FileSystem& fs, FsDir& product);

}  // namespace quon
