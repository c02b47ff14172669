#include "update/Installer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/CText.h"
#include "base/DisplayText.h"
#include "base/FsPath.h"
#include "update/InstallJournal.h"
#include "update/RunFiles.h"
#include "update/UpdateListFile.h"

namespace quon {

namespace {

// Copying goes through a buffer of this size, so a file of any size is
// copied in bounded memory.
constexpr size_t kCopyBufferBytes = size_t(1) << 20;
// Staged files kept open until they are flushed together: the flush of
// the first writes the others' metadata in the same journal commit, where
// one flush per file would pay a commit each.
constexpr size_t kFlushGroup = 256;
// Names of one directory read to find a name whatever its letter case.
constexpr size_t kMaxListing = 100000;

void PauseWhileBusy() { std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryPauseMs)); }

bool MayPass(FsError error) { return error == FsError::Busy || error == FsError::Refused; }

// Where the bytes of a new file come from: `head`, then the file `tailName`
// of `tailDir` after its first `tailOffset` bytes (no tail without a
// directory).
struct Source {
  std::string_view head;
  FsDir* tailDir = nullptr;
  std::string tailName;
  uint64_t tailOffset = 0;
};

FsError TailSize(FileSystem& fs, const Source& source, uint64_t& size) {
  size = 0;
  if (source.tailDir == nullptr) return FsError::None;
  FsInfo info;
  const FsError error = fs.Stat(*source.tailDir, source.tailName, info);
  if (error != FsError::None) return error;
  size = info.size > source.tailOffset ? info.size - source.tailOffset : 0;
  return FsError::None;
}

// Writes the content at the file's position; `executable`, when asked,
// tells whether it starts as a program.
FsError WriteContent(FileSystem& fs, FsFile& out, const Source& source, bool* executable = nullptr) {
  std::string start(source.head.substr(0, 4));
  FsError error = fs.Write(out, source.head.data(), source.head.size());
  if (error == FsError::None && source.tailDir != nullptr) {
    std::unique_ptr<FsFile> in;
    error = fs.OpenFile(*source.tailDir, source.tailName, FsAccess::Read, in);
    if (error == FsError::None && source.tailOffset > 0) error = fs.Seek(*in, source.tailOffset);
    std::vector<char> buffer(error == FsError::None ? kCopyBufferBytes : 0);
    while (error == FsError::None) {
      size_t got = 0;
      if ((error = fs.Read(*in, buffer.data(), buffer.size(), got)) != FsError::None || got == 0) break;
      if (start.size() < 4) start.append(buffer.data(), std::min<size_t>(got, 4 - start.size()));
      error = fs.Write(out, buffer.data(), got);
    }
    if (in) {
      const FsError closed = fs.Close(*in);
      if (error == FsError::None) error = closed;
    }
  }
  if (executable) *executable = StartsAsExecutable(start);
  return error;
}

// The last resort where a directory takes no new file: the target itself
// is rewritten. The volume must have room for what the file grows by, so
// that a full disk cannot leave it torn part way.
bool WriteInPlace(FileSystem& fs, FsDir& dir, const std::string& name, const Source& source, bool durable) {
  // A content that keeps the target's own tail where it is needs only its
  // head written; any other use of the target's own bytes cannot be
  // streamed into itself.
  const bool ownTail = source.tailDir == &dir && source.tailName == name;
  const bool headOnly = ownTail && source.tailOffset == source.head.size();
  if (ownTail && !headOnly) return false;
  FsInfo info;
  if (fs.Stat(dir, name, info) != FsError::None) return false;
  const uint64_t oldSize = info.size;
  uint64_t newSize = source.head.size();
  if (headOnly) {
    newSize = std::max<uint64_t>(oldSize, newSize);
  } else {
    uint64_t tail = 0;
    if (TailSize(fs, source, tail) != FsError::None) return false;
    newSize += tail;
  }
  uint64_t room = 0;
  if (newSize > oldSize && (fs.FreeSpace(dir, room) != FsError::None || room < newSize - oldSize)) return false;
  std::unique_ptr<FsFile> out;
  if (fs.OpenFile(dir, name, FsAccess::Modify, out) != FsError::None) return false;
  bool written = WriteContent(fs, *out, headOnly ? Source{source.head, nullptr, {}, 0} : source) == FsError::None;
  if (written && newSize < oldSize) written = fs.SetSize(*out, newSize) == FsError::None;
  if (written && durable) written = fs.Flush(*out) == FsError::None;
  return fs.Close(*out) == FsError::None && written;
}

// One installation: its entries, the directories they go to (found, or to
// be made), the distinct files they put in place, and its folder.
class Installation {
 public:
  Installation(FileSystem& fs, FsDir& product, FsDir& unpack, const InstallRecord& record, UserPrompts& prompts)
      : m_fs(fs), m_product(product), m_unpack(unpack), m_record(record), m_prompts(prompts) {
    m_root.held = &product;
    m_unpackDir.held = &unpack;
  }

  bool Run(const std::vector<const UpdateListSection*>& sections, std::vector<std::string>& failed) {
    bool planned = true;
    for (const UpdateListSection* section : sections) {
      for (const std::string& line : section->m_fileLines) {
        m_entries.push_back(Entry{RelativeEntryPath(line), true});
        if (!(planned = Plan(m_entries.size() - 1))) break;
      }
      if (!planned) break;
    }
    if (planned && m_record.writeVersionFile) planned = PlanVersionFile();
    const bool done = planned && m_failures == 0 && Apply();
    m_items.clear();  // what is held goes
    if (!done) {
      for (const Entry& entry : m_entries) {
        if (entry.listed || entry.failed) failed.push_back(entry.relative);
      }
    }
    return done;
  }

 private:
  struct Entry {
    std::string relative;
    bool listed = true;  // false: the version file, which no entry names
    bool failed = false;
  };
  // A directory of the product: on the disk (held), or to be made.
  struct Dir {
    Dir* parent = nullptr;
    std::string name;
    std::string relative;  // below the product directory, '/' between names
    FsDir* held = nullptr;
    std::unique_ptr<FsDir> owned;
    bool listed = false;
    std::unordered_map<std::string, std::string> listing;  // its names by their ASCII upper case
    std::unordered_map<std::string, std::string> planned;  // names this installation gives it, the same way
  };
  struct Item {
    Dir* dir = nullptr;
    std::string name;
    bool exists = false;  // it replaces a file
    Source source;
    int rank = 0;  // 1: the product's executable, 2: the version file; they go last
    std::vector<size_t> entries;
    bool refused = false;
    std::string temporary;
    std::unique_ptr<FsFile> hold;    // the target, held until it is moved (Windows)
    std::unique_ptr<FsFile> staged;  // the new file, or the copy of the old one, until flushed
    bool inPlace = false;
    bool executable = false;
    std::string Path() const { return dir->held ? dir->held->Path() + name : dir->relative + "/" + name; }
  };
  enum class Found { Nothing, Planned, OnDisk };

  // Finds the source and the target of an entry, and checks the target.
  // False only for a failure that ends the installation.
  bool Plan(size_t index) {
    const std::string& relative = m_entries[index].relative;
    // An entry that would leave the product directory is never copied.
    if (relative.size() > kMaxEntryBytes || !IsContainedRelativePath(relative)) return FailEntry(index);
    // Its directories, without empty and "." steps, and its file name; a
    // double-byte character's second byte is never a separator.
    std::vector<std::string_view> dirs;
    size_t start = 0;
    for (size_t end; (end = FindPathSeparator(relative, start)) != std::string::npos; start = end + 1) {
      const std::string_view part = std::string_view(relative).substr(start, end - start);
      if (!part.empty() && part != ".") dirs.push_back(part);
    }
    const std::string fileName = EntryNameOnDisk(std::string_view(relative).substr(start));
    // Names of the installation's own files are never the product's.
    if (fileName.empty() || IsInstallTemporaryName(fileName) ||
        IsUndoFolderName(dirs.empty() ? std::string_view(fileName) : dirs.front())) {
      return FailEntry(index);
    }
    const std::string path = m_product.Path() + relative;
    FsError error = FsError::None;
    std::string sourceName;
    const Found source = Find(m_unpackDir, fileName, sourceName, error);
    FsInfo info;
    if (error == FsError::None && source == Found::OnDisk) error = m_fs.Stat(m_unpack, sourceName, info);
    if (error != FsError::None) return Failed(index, error, path);
    if (source != Found::OnDisk || info.type != FsType::File) return FailEntry(index);
    Dir* dir = &m_root;
    for (std::string_view part : dirs) {
      if ((dir = Subdirectory(*dir, EntryNameOnDisk(part), error)) == nullptr) return Failed(index, error, path);
    }
    std::string targetName;
    const Found target = Find(*dir, fileName, targetName, error);
    if (error != FsError::None) return Failed(index, error, path);
    if (target == Found::Nothing) {
      targetName = fileName;
      dir->planned[AsciiUpper(targetName)] = targetName;
    }
    const std::string key = NameKey(dir->relative + "/" + targetName);
    auto [found, added] = m_itemByTarget.emplace(key, m_items.size());
    if (added) {
      Item item;
      item.dir = dir;
      item.name = targetName;
      item.exists = target == Found::OnDisk;
      item.source = Source{{}, &m_unpack, sourceName, 0};
      item.rank = dir == &m_root && AsciiUpper(targetName) == AsciiUpper(m_record.productExecutable) ? 1 : 0;
      m_items.push_back(std::move(item));
      if (!Check(m_items.back(), path)) return false;
    }
    Item& item = m_items[found->second];
    item.entries.push_back(index);
    return item.refused ? FailEntry(index) : true;
  }

  // The version file goes last, with the new version in its first bytes and
  // the rest of what it holds (or of the file an entry brings for it).
  bool PlanVersionFile() {
    const std::string& name = m_record.versionFileName;
    std::memcpy(m_versionHead, VersionBytes().data(), sizeof m_versionHead);
    const std::string_view head(m_versionHead, sizeof m_versionHead);
    FsError error = FsError::None;
    std::string targetName;
    const Found target = Find(m_root, name, targetName, error);
    if (error != FsError::None) return Fatal(error, m_product.Path() + name);
    const auto listed = m_itemByTarget.find(NameKey("/" + (target == Found::Nothing ? name : targetName)));
    if (listed != m_itemByTarget.end()) {
      Item& item = m_items[listed->second];
      item.source.head = head;
      item.source.tailOffset = sizeof m_versionHead;
      item.rank = 2;
      return true;
    }
    Item item;
    item.dir = &m_root;
    item.name = target == Found::Nothing ? name : targetName;
    item.exists = target == Found::OnDisk;
    item.source = Source{head, item.exists ? &m_product : nullptr, item.name, sizeof m_versionHead};
    item.rank = 2;
    m_entries.push_back(Entry{name, false});
    item.entries.push_back(m_entries.size() - 1);
    m_items.push_back(std::move(item));
    if (!Check(m_items.back(), m_product.Path() + name)) return false;
    if (m_items.back().refused) return FailEntry(m_entries.size() - 1);
    return true;
  }

  std::string VersionBytes() const {
    std::string bytes(8, '\0');
    for (int i = 0; i < 4; ++i) {
      bytes[2 * i] = static_cast<char>(m_record.versionWords[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<char>(m_record.versionWords[i] >> 8);
    }
    return bytes;
  }

  // Whether the target may be replaced: absent, or a regular file its owner
  // may write (checked explicitly, so a read-only file counts as read-only
  // for a privileged user too). A target refused on its own is marked so;
  // false for a failure that ends the installation.
  bool Check(Item& item, const std::string& path) {
    if (item.dir->held == nullptr) return PickTemporary(item, path);
    if (item.exists) {
      FsInfo info;
      const FsError error = m_fs.Stat(*item.dir->held, item.name, info);
      if (error != FsError::None && Ends(error)) return Fatal(error, path);
      if (error != FsError::None || info.type != FsType::File || !info.ownerWritable) {
        item.refused = true;  // read-only, no file, a link
        return true;
      }
    }
    return PickTemporary(item, path);
  }

  // Every target to be moved, held so that no other program can keep it
  // from being renamed (Windows: one that holds it open without letting it
  // be deleted refuses it now, and nobody can open it until the swap). Taken
  // once the new files are staged, whose reading of old bytes (the version
  // file's tail, the copy of a file rewritten in place) a hold would bar.
  // Every target refused so is told; nothing has been renamed yet.
  bool HoldTargets() {
    bool held = true;
    for (Item* item : m_order) {
      if (!item->exists || item->inPlace) continue;
      FsError error = FsError::None;
      // A scanner that opens a file for a moment is waited out.
      if (Retried([&] { return error = m_fs.HoldForReplace(*item->dir->held, item->name, item->hold); })) continue;
      if (Ends(error) && error != FsError::Busy) return Fatal(error, item->Path());
      FailItem(*item);
      held = false;
    }
    return held;
  }

  // A free name beside the target for its new file.
  bool PickTemporary(Item& item, const std::string& path) {
    for (int i = 0; i < kTemporaryNames; ++i) {
      item.temporary = item.name + std::string(kInstallTemporaryMark) + (i == 0 ? std::string() : std::to_string(i));
      const std::string upper = AsciiUpper(item.temporary);
      if (item.dir->planned.count(upper) != 0) continue;
      FsInfo info;
      const FsError error =
          item.dir->held == nullptr ? FsError::NotFound : m_fs.Stat(*item.dir->held, item.temporary, info);
      if (error == FsError::NotFound) {
        item.dir->planned[upper] = item.temporary;
        return true;
      }
      if (error != FsError::None) return Fatal(error, path);
    }
    return Fatal(FsError::Exists, path);
  }

  // Puts everything in place, or nothing.
  bool Apply() {
    if (m_items.empty()) return true;
    for (Item& item : m_items) m_order.push_back(&item);
    std::stable_sort(m_order.begin(), m_order.end(), [](const Item* a, const Item* b) { return a->rank < b->rank; });
    // An installation that has not committed (another copy's, running now,
    // or one that only the next start can undo) keeps this one out.
    if (!ClearFinishedInstallations(m_fs, m_product)) {
      m_prompts.MessageBox(InterruptedInstallationText({InterruptedInstallation::Outcome::Failed, {}}));
      return false;
    }
    if (!BeginJournal()) return false;
    const bool applied = MakeDirectories() && Stage() && HoldTargets() && FlushFolder() &&
                         AppendToJournal(JournalStage::Staged) && Swap() && FlushDirectories() &&
                         AppendToJournal(JournalStage::Committed);
    for (Item& item : m_items) {
      item.hold.reset();
      if (item.staged) m_fs.Close(*item.staged);
      item.staged.reset();
    }
    m_fs.Close(*m_journalFile);
    m_journalFile.reset();
    m_folder.reset();
    if (!applied) {
      // The directories are let go first: Windows removes none that is held.
      for (auto& [relative, dir] : m_dirs) {
        dir->held = nullptr;
        dir->owned.reset();
      }
      return Undo();
    }
    // The folder becomes the backup (or goes); what stays is finished at
    // the next start.
    FinishCommittedInstallation(m_fs, m_product, m_folderName, m_journal, m_record.keepBackup);
    return true;
  }

  // The installation's folder and its journal, flushed with the folder's
  // name before anything else changes.
  bool BeginJournal() {
    FsError error = FsError::Exists;
    for (int i = 0; i < kUndoFolderNames && error == FsError::Exists; ++i) {
      m_folderName = std::string(kUndoFolderStem) + (i == 0 ? std::string() : std::to_string(i));
      error = m_fs.MakeDir(m_product, m_folderName, true);
    }
    const std::string path = m_product.Path() + m_folderName;
    if (error != FsError::None) return Fatal(error, path);
    m_journal.fromVersion = m_record.fromVersion;
    m_journal.toVersion = m_record.toVersion;
    for (const Dir* dir : m_toMake) m_journal.madeDirs.push_back(dir->relative.substr(1));
    for (const Item* item : m_order) {
      const std::string dir = item->dir->relative.empty() ? std::string() : item->dir->relative.substr(1);
      m_journal.files.push_back(JournalFile{item->exists, dir, item->name, item->temporary, false, false});
    }
    const std::string text = JournalText(m_journal);
    // The journal stays open, written through one handle, until the
    // installation ends: on Windows nobody else (a copy in another session)
    // can open it meanwhile, and so none takes it for one to undo.
    if ((error = m_fs.OpenDir(m_product, m_folderName, m_folder)) == FsError::None &&
        (error = m_fs.CreateFile(*m_folder, std::string(kJournalName), true, m_journalFile)) == FsError::None) {
      error = m_fs.Write(*m_journalFile, text.data(), text.size());
      if (error == FsError::None) error = m_fs.Flush(*m_journalFile);
    }
    if (error == FsError::None) error = m_fs.FlushDir(*m_folder);
    if (error == FsError::None) error = m_fs.FlushDir(m_product);
    m_journalSize = text.size();
    if (error == FsError::None) return true;
    Fatal(error, path);
    if (m_journalFile) m_fs.Close(*m_journalFile);
    m_journalFile.reset();
    m_folder.reset();
    RemoveUndoFolder(m_fs, m_product, m_folderName);
    return false;
  }

  // The names of the copies of old bytes made while staging, before the
  // journal says they are there.
  bool FlushFolder() {
    const FsError error = m_fs.FlushDir(*m_folder);
    return error == FsError::None || Fatal(error, m_folder->Path());
  }

  bool AppendToJournal(JournalStage stage) {
    std::string text;
    if (stage == JournalStage::Staged) {
      for (size_t i = 0; i < m_order.size(); ++i) {
        if (m_order[i]->inPlace) text += "inplace " + BackupName(i) + "\n";
      }
    }
    text += JournalStageLine(stage);
    FsError error = m_fs.Seek(*m_journalFile, m_journalSize);
    if (error == FsError::None) error = m_fs.Write(*m_journalFile, text.data(), text.size());
    if (error == FsError::None) error = m_fs.Flush(*m_journalFile);
    if (error != FsError::None) return Fatal(error, m_folder->Path() + std::string(kJournalName));
    m_journalSize += text.size();
    m_journal.stage = stage;
    return true;
  }

  bool MakeDirectories() {
    for (Dir* dir : m_toMake) {
      FsError error = m_fs.MakeDir(*dir->parent->held, dir->name, false);
      if (error == FsError::None) error = m_fs.OpenDir(*dir->parent->held, dir->name, dir->owned, &m_product);
      if (error != FsError::None) return Fatal(error, dir->parent->held->Path() + dir->name);
      dir->held = dir->owned.get();
    }
    return true;
  }

  // Writes every new file beside its target, private to this user, gives
  // it its access and flushes it, a group at a time. Where a directory takes
  // no new file, the target's old bytes are copied to the folder instead: it
  // is rewritten in place by Swap.
  bool Stage() {
    std::vector<Item*> open;
    for (size_t i = 0; i < m_order.size(); ++i) {
      Item& item = *m_order[i];
      FsDir& dir = *item.dir->held;
      FsError error = m_fs.CreateFile(dir, item.temporary, true, item.staged);
      if (error == FsError::Refused && item.exists) {
        item.inPlace = true;
        m_journal.files[i].inPlace = true;
        error = CopyOldBytes(item, i);
      } else if (error == FsError::Refused) {
        return FailItem(item);  // a directory that takes no new file refuses this one
      } else if (error == FsError::None) {
        error = WriteContent(m_fs, *item.staged, item.source, &item.executable);
      }
      if (error != FsError::None) return Fatal(error, item.Path());
      open.push_back(&item);
      if (open.size() == kFlushGroup && !FlushStaged(open)) return false;
    }
    return FlushStaged(open);
  }

  FsError CopyOldBytes(Item& item, size_t index) {
    std::unique_ptr<FsFile> old;
    FsError error = m_fs.CreateFile(*m_folder, BackupName(index), true, item.staged);
    if (error == FsError::None) error = m_fs.OpenFile(*item.dir->held, item.name, FsAccess::Read, old);
    if (error == FsError::None) error = CopyFileData(m_fs, *old, *item.staged);
    return error;
  }

  // The staged files get their access, then reach the disk: the flush of
  // the first writes the others' metadata in the same journal commit.
  bool FlushStaged(std::vector<Item*>& open) {
    for (Item* item : open) {
      FsError error = FsError::None;
      if (!item->inPlace) {
        error = m_fs.SetInstalledAccess(*item->staged, *item->dir->held, item->exists ? item->name : std::string(),
                                        item->executable);
      }
      if (error == FsError::None) error = m_fs.Flush(*item->staged);
      const FsError closed = m_fs.Close(*item->staged);
      item->staged.reset();
      if (error == FsError::None) error = closed;
      if (error != FsError::None) return Fatal(error, item->Path());
    }
    open.clear();
    return true;
  }

  // Moves each target into the folder and renames its new file into its
  // place (or rewrites it in place), in order.
  bool Swap() {
    for (size_t i = 0; i < m_order.size(); ++i) {
      Item& item = *m_order[i];
      FsDir& dir = *item.dir->held;
      bool done = false;
      if (item.inPlace) {
        done = WriteInPlace(m_fs, dir, item.name, item.source, true);
      } else {
        done = (!item.exists || Retried([&] {
                 return m_fs.RenameHeld(item.hold.get(), dir, item.name, *m_folder, BackupName(i));
               })) &&
               Retried([&] { return m_fs.Rename(dir, item.temporary, dir, item.name); });
      }
      item.hold.reset();
      if (!done) return FailItem(item);
    }
    return true;
  }

  // A rename refused while another program holds a file is tried again for
  // about a second.
  template <typename Call>
  static bool Retried(Call call) {
    for (int attempt = 0;; ++attempt) {
      const FsError error = call();
      if (error == FsError::None) return true;
      if (!MayPass(error) || attempt == kBusyRetries) return false;
      PauseWhileBusy();
    }
  }

  // The names of the folder and of every directory whose names changed, so
  // that the commit is recorded only once they survive a power cut.
  bool FlushDirectories() {
    FsError error = m_fs.FlushDir(*m_folder);
    std::vector<FsDir*> dirs;
    for (Dir* dir : m_toMake) dirs.push_back(dir->parent->held);
    for (Item* item : m_order) {
      if (!item->inPlace) dirs.push_back(item->dir->held);
    }
    std::sort(dirs.begin(), dirs.end());
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    // The deepest first: a made directory's own names before its name.
    std::sort(dirs.begin(), dirs.end(), [](FsDir* a, FsDir* b) { return a->Path().size() > b->Path().size(); });
    for (FsDir* dir : dirs) {
      if (error == FsError::None) error = m_fs.FlushDir(*dir);
    }
    return error == FsError::None || Fatal(error, m_product.Path());
  }

  // Everything back as it was. False: nothing was installed (and, when the
  // undoing itself failed, the user is told).
  bool Undo() {
    if (!UndoInstallation(m_fs, m_product, m_folderName, m_journal)) {
      m_prompts.MessageBox(InterruptedInstallationText({InterruptedInstallation::Outcome::Failed, {}}));
    }
    return false;
  }

  // The subdirectory `name` of `parent`, found whatever its letter case, or
  // one to be made; null with the reason when it can be neither.
  Dir* Subdirectory(Dir& parent, const std::string& name, FsError& error) {
    std::string found;
    const Found where = Find(parent, name, found, error);
    if (error != FsError::None) return nullptr;
    const std::string relative = parent.relative + "/" + (where == Found::Nothing ? name : found);
    auto held = m_dirs.find(NameKey(relative));
    if (held != m_dirs.end()) return held->second.get();
    if (where == Found::Planned) {
      error = FsError::WrongType;  // a file of this installation has that name
      return nullptr;
    }
    auto dir = std::make_unique<Dir>();
    dir->parent = &parent;
    dir->name = where == Found::Nothing ? name : found;
    dir->relative = relative;
    if (where == Found::Nothing) {
      parent.planned[AsciiUpper(name)] = name;
      m_toMake.push_back(dir.get());
    } else if ((error = m_fs.OpenDir(*parent.held, found, dir->owned, &m_product)) != FsError::None) {
      return nullptr;
    } else {
      dir->held = dir->owned.get();
    }
    return (m_dirs[NameKey(relative)] = std::move(dir)).get();
  }

  // The name of the entry of `dir` that `name` denotes: one this
  // installation gives it, else one on the disk as written, else one equal
  // to it when ASCII case is ignored. `error` tells when that cannot be
  // known.
  Found Find(Dir& dir, const std::string& name, std::string& found, FsError& error) {
    error = FsError::None;
    const std::string upper = AsciiUpper(name);
    if (const auto planned = dir.planned.find(upper); planned != dir.planned.end()) {
      found = planned->second;
      return Found::Planned;
    }
    if (dir.held == nullptr) return Found::Nothing;
    FsInfo info;
    error = m_fs.Stat(*dir.held, name, info);
    if (error == FsError::None) {
      found = name;
      return Found::OnDisk;
    }
    if (error != FsError::NotFound) return Found::Nothing;
    error = FsError::None;
    if (!dir.listed) {
      std::vector<FsEntry> entries;
      if ((error = m_fs.List(*dir.held, kMaxListing, entries)) != FsError::None) return Found::Nothing;
      for (const FsEntry& entry : entries) {
        auto [it, added] = dir.listing.emplace(AsciiUpper(entry.name), entry.name);
        if (!added && entry.name < it->second) it->second = entry.name;
      }
      dir.listed = true;
    }
    const auto listed = dir.listing.find(upper);
    if (listed == dir.listing.end()) return Found::Nothing;
    found = listed->second;
    return Found::OnDisk;
  }

  // Failures of the volume or the system rather than of the entry: no
  // other entry escapes them, so the installation ends at once.
  static bool Ends(FsError error) {
    return error == FsError::DiskFull || error == FsError::IoError || error == FsError::Busy || error == FsError::Other;
  }
  // A failure while planning an entry: its own, or the end of the run.
  bool Failed(size_t index, FsError error, const std::string& path) {
    return Ends(error) ? Fatal(error, path) : FailEntry(index);
  }

  bool FailEntry(size_t index) {
    m_entries[index].failed = true;
    if (++m_failures <= kFailureBoxes)
      m_prompts.MessageBox("Failed to update file:\r\n" + ShortenPath(m_entries[index].relative));
    return true;
  }
  // A file refused while it was being put in place: told, and the
  // installation undone. Returns false.
  bool FailItem(Item& item) {
    for (size_t index : item.entries) {
      if (!m_entries[index].failed) FailEntry(index);
    }
    return false;
  }

  // A failure of the volume or the system: tells its cause. Returns false.
  bool Fatal(FsError error, const std::string& path) {
    m_prompts.MessageBox(FileErrorMessage(FileCauseOf(error), path));
    return false;
  }

  FileSystem& m_fs;
  FsDir& m_product;
  FsDir& m_unpack;
  const InstallRecord& m_record;
  UserPrompts& m_prompts;
  std::vector<Entry> m_entries;
  Dir m_root, m_unpackDir;
  std::map<std::string, std::unique_ptr<Dir>> m_dirs;  // below the product directory, by NameKey of its path
  std::vector<Dir*> m_toMake;                          // in the order they are made
  std::deque<Item> m_items;
  std::map<std::string, size_t> m_itemByTarget;  // by NameKey of the target's path
  std::vector<Item*> m_order;                    // the items in the order they are put in place
  char m_versionHead[8] = {};
  std::string m_folderName;
  std::unique_ptr<FsDir> m_folder;
  std::unique_ptr<FsFile> m_journalFile;
  Journal m_journal;
  uint64_t m_journalSize = 0;
  size_t m_failures = 0;
};

}  // namespace

bool InstallEntries(FileSystem& fs, FsDir& productDir, FsDir& unpackDir,
                    const std::vector<const UpdateListSection*>& sections, const InstallRecord& record,
                    std::vector<std::string>& failed, UserPrompts& prompts) {
  return Installation(fs, productDir, unpackDir, record, prompts).Run(sections, failed);
}

bool ReplaceFileContent(FileSystem& fs, FsDir& dir, const std::string& name, const NewContent& content, bool durable) {
  FsInfo info;
  const FsError found = fs.Stat(dir, name, info);
  const bool exists = found == FsError::None;
  if (exists ? info.type != FsType::File || !info.ownerWritable : found != FsError::NotFound) return false;
  Source source{content.head, nullptr, {}, 0};
  if (content.keepTail && exists) source = Source{content.head, &dir, name, content.tailOffset};
  std::unique_ptr<FsFile> file;
  std::string temporary;
  FsError error = FsError::Exists;
  for (int i = 0; i < kTemporaryNames && error == FsError::Exists; ++i) {
    temporary = name + std::string(kInstallTemporaryMark) + (i == 0 ? std::string() : std::to_string(i));
    error = fs.CreateFile(dir, temporary, true, file);
  }
  if (error == FsError::Refused && exists) return WriteInPlace(fs, dir, name, source, durable);
  if (error != FsError::None) return false;
  bool executable = false;
  error = WriteContent(fs, *file, source, &executable);
  if (error == FsError::None) error = fs.SetInstalledAccess(*file, dir, exists ? name : std::string(), executable);
  if (error == FsError::None && durable) error = fs.Flush(*file);
  const FsError closed = fs.Close(*file);
  if (error == FsError::None) error = closed;
  for (int attempt = 0; error == FsError::None; ++attempt) {
    const FsError renamed = fs.Rename(dir, temporary, dir, name);
    if (renamed == FsError::None) return !durable || fs.FlushDir(dir) == FsError::None;
    if (!MayPass(renamed) || attempt == kBusyRetries) break;
    PauseWhileBusy();
  }
  DeleteOwnFile(fs, dir, temporary);
  return false;
}

}  // namespace quon
