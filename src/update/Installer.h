// Putting an update's files into the product directory, and replacing one
// file as a whole, so that neither a full disk nor a power cut leaves a
// product file empty, torn or half the update.
//
// The order, for every file: its new bytes go to a temporary name beside
// it ("<name>.quonupd", or with a number after it), which takes the
// replaced file's permissions and is flushed to the disk. Only when every
// file of the installation is staged this way are they renamed over their
// targets (on Windows with MOVEFILE_WRITE_THROUGH), and then the
// directories whose names changed are flushed (on Linux). A failure while
// staging replaces nothing: the temporaries go, and so do the directories
// the installation made. What the caller records after a complete
// installation (the version file) is therefore written only once every new
// file is durable.
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

// Copies the file entries of `sections` (in their order) from `unpackDir`
// into `productDir`, as described above. Entries are 8-bit text in the
// Windows code page, found the way Windows finds names (EntryNameOnDisk,
// letter case ignored); an entry's directories are made when missing; a
// link on its way is followed only on a system that allows it and only to
// a directory inside the product directory. An entry fails alone when it
// is no path inside the product directory, its file was not unpacked, or
// its target cannot be replaced (read-only, not a file, a link on the way),
// and when the rename over it fails (a file in use); failures while
// staging fail every entry. Failures are appended to `failed` in the
// entries' order; the first kFailureBoxes are told through `prompts` as
// they happen, a failure while staging with its cause. True when nothing
// failed.
bool InstallEntries(FileSystem& fs, FsDir& productDir, FsDir& unpackDir,
                    const std::vector<const UpdateListSection*>& sections, std::vector<std::string>& failed,
                    UserPrompts& prompts);

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

}  // namespace quon
