// Putting an update's files into the product directory as one transaction:
// every listed file and the version, or nothing.
//
// The order: every target is looked at first (a read-only file, anything
// but a file, a link on the way refuse the installation before anything
// changes). The installation's journal (InstallJournal.h) is then written
// and flushed, in a folder of its own in the product directory; the
// directories it needs are made; every new file is written, private to
// this user, beside its target ("<name>.quonupd", or with a number after
// it), gets the access it is to have and is flushed. The targets are then
// held for the swap (on Windows a file another program holds open refuses
// the installation here, before any rename), and only then is each moved
// into the folder and its new file renamed into its place, the files that
// carry the product's version (the product's executable, then the version
// file) last. The directories are flushed, the
// journal says "committed", and the folder becomes the backup of the last
// installation (or goes). A failure before the commit
// undoes it all from the folder; a crash or power cut is undone (or, once
// committed, finished) at the next start (RecoverInterruptedInstallations).
#pragma once
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/FileSystem.h"
#include "base/UserPrompts.h"

namespace quon {

class UpdateListSection;

// The longest entry installed, in bytes as written after trimming: real
// entries are short relative paths. A longer one fails.
constexpr size_t kMaxEntryBytes = 1024;
// Failed files told one message box each in one installation; later
// failures of that installation are only listed on the results page.
constexpr size_t kFailureBoxes = 5;
// A rename or deletion refused because another program holds the file is
// tried this many times more, this long apart: about a second in all.
constexpr int kBusyRetries = 5;
constexpr unsigned kBusyRetryPauseMs = 200;
// Temporary names tried beside a target.
constexpr int kTemporaryNames = 1000;
// The name a new file is staged under beside its target ("<name>.quonupd").
constexpr std::string_view kInstallTemporaryMark = ".quonupd";

// What an installation puts in place besides the listed files, and what it
// records in its journal.
struct InstallRecord {
  // The version file, rewritten as the last file of the installation when
  // the installed version came from it: its first 8 bytes become the four
  // numbers (16-bit little-endian), the rest of it is kept.
  bool writeVersionFile = false;
  std::string versionFileName;
  uint16_t versionWords[4] = {};
  // The product's executable, whose version resource carries the version
  // too: installed after every other listed file.
  std::string productExecutable;
  // The versions before and after, for whoever finishes or undoes it.
  std::string fromVersion, toVersion;
  // Whether the installation's folder is kept as the backup of the last
  // installation (InstallJournal.h) once it has committed; without it, the
  // backup an earlier installation left goes too.
  bool keepBackup = true;
};

// Installs the file entries of `sections` (in their order) from `unpackDir`
// into `productDir` with what `record` adds, as described above. Entries
// are 8-bit text in the Windows code page, found the way Windows finds
// names (EntryNameOnDisk, letter case ignored); an entry's directories are
// made when missing; a link on its way is followed only on a system that
// allows it and only to a directory inside the product directory. An entry
// fails on its own when it is no path inside the product directory, its
// file was not unpacked, or its target cannot be replaced (read-only, in
// use, not a file, a link on the way); the first kFailureBoxes such entries
// are told through `prompts`, and then nothing is installed. A failure of
// the volume or the system is told with its cause. Unless everything was
// installed, `failed` gets every listed entry, in order (and the version
// file when it was refused on its own). True when everything was installed.
bool InstallEntries(FileSystem& fs, FsDir& productDir, FsDir& unpackDir,
                    const std::vector<const UpdateListSection*>& sections, const InstallRecord& record,
                    std::vector<std::string>& failed, UserPrompts& prompts);

// The new content of a file replaced as a whole: `head`, then, when
// `keepTail` is set, the bytes of the file it replaces after its first
// `tailOffset` bytes, streamed, never held in memory.
struct NewContent {
  std::string_view head;
  bool keepTail = false;
  uint64_t tailOffset = 0;
};

// Replaces (or creates) `name` in `dir` with `content` the same way, as an
// installation of one file: flushed before it is renamed into place, and
// the directory flushed after, when `durable`. Where the directory takes no
// new file, a writable target is rewritten in place once the volume has
// room for it. False, the file as it was, when the target is not a
// writable regular file or anything failed.
bool ReplaceFileContent(FileSystem& fs, FsDir& dir, const std::string& name, const NewContent& content, bool durable);

// The name an entry's path component has on this system's disk: the text
// itself on Windows; on Linux, Windows-1252 mapped to UTF-8, the names the
// CAB library gives unpacked files (EntryNames_*.cpp).
std::string EntryNameOnDisk(std::string_view component);
// What tells two paths below the product directory apart on this system:
// the path itself on Linux, its ASCII upper case on Windows, where both
// spellings name one file.
std::string NameKey(std::string_view path);

}  // namespace quon
