#include "update/Installer.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/CText.h"
#include "base/DisplayText.h"
#include "base/FsPath.h"
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
constexpr std::string_view kTemporaryMark = ".quonupd";

void PauseWhileBusy() { std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryPauseMs)); }

bool MayPass(FsError error) { return error == FsError::Busy || error == FsError::Refused; }

// Deletes a temporary of ours: once more at once after a failure, and for
// a while when another program holds it (a scanner may hold a file that
// has just been written).
void DeleteTemporary(FileSystem& fs, FsDir& dir, const std::string& name) {
  for (int attempt = 0;; ++attempt) {
    const FsError error = fs.Delete(dir, name);
    if (error == FsError::None || error == FsError::NotFound || attempt == kBusyRetries) return;
    if (!MayPass(error) && attempt > 0) return;
    if (MayPass(error)) PauseWhileBusy();
  }
}

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

FsError WriteContent(FileSystem& fs, FsFile& out, const Source& source) {
  FsError error = fs.Write(out, source.head.data(), source.head.size());
  if (error != FsError::None || source.tailDir == nullptr) return error;
  std::unique_ptr<FsFile> in;
  if ((error = fs.OpenFile(*source.tailDir, source.tailName, FsAccess::Read, in)) != FsError::None) return error;
  if (source.tailOffset > 0 && (error = fs.Seek(*in, source.tailOffset)) != FsError::None) return error;
  std::vector<char> buffer(kCopyBufferBytes);
  for (;;) {
    size_t got = 0;
    if ((error = fs.Read(*in, buffer.data(), buffer.size(), got)) != FsError::None) return error;
    if (got == 0) break;
    if ((error = fs.Write(out, buffer.data(), got)) != FsError::None) return error;
  }
  return fs.Close(*in);
}

// One file being replaced: staged beside its target, then renamed over it.
class Replacement {
 public:
  enum class Stage { Staged, InPlace, Failed };

  Replacement(FsDir& dir, std::string name) : m_dir(&dir), m_name(std::move(name)) {}

  FsDir& Dir() const { return *m_dir; }
  bool TargetExists() const { return m_targetExists; }
  const std::string& Name() const { return m_name; }
  std::string TargetPath() const { return m_dir->Path() + m_name; }

  // Whether the target may be replaced: absent, or a regular file its
  // owner may write (checked explicitly, so a read-only file counts as
  // read-only for a privileged user too). FsError::None when it may,
  // Refused when it may not, or why it could not be told.
  FsError CheckTarget(FileSystem& fs) {
    FsInfo info;
    const FsError error = fs.Stat(*m_dir, m_name, info);
    m_targetExists = error == FsError::None;
    if (error == FsError::NotFound) return FsError::None;
    if (error != FsError::None) return error;
    return info.type == FsType::File && info.ownerWritable ? FsError::None : FsError::Refused;
  }

  // Writes the new bytes to a new temporary beside the target, left open
  // for Flush. InPlace when the directory takes no new file but the target
  // exists: it is then rewritten by Commit.
  Stage Write(FileSystem& fs, const Source& source, FsError& error) {
    std::unique_ptr<FsFile> file;
    for (int i = 0; i < kTemporaryNames && !file; ++i) {
      m_temporary = m_name + std::string(kTemporaryMark) + (i == 0 ? std::string() : std::to_string(i));
      error = fs.CreateFile(*m_dir, m_temporary, false, file);
      if (error == FsError::Exists) continue;
      if (error == FsError::Refused && m_targetExists) return Stage::InPlace;
      if (error != FsError::None) return Stage::Failed;
    }
    if (!file) return Stage::Failed;                           // every temporary name taken
    if (m_targetExists) fs.CopyAccess(*file, *m_dir, m_name);  // best effort
    error = WriteContent(fs, *file, source);
    m_file = std::move(file);
    if (error == FsError::None) return Stage::Staged;
    Discard(fs);
    return Stage::Failed;
  }

  // Makes the staged bytes durable and closes the temporary.
  FsError Flush(FileSystem& fs, bool durable) {
    FsError error = durable ? fs.Flush(*m_file) : FsError::None;
    const FsError closed = fs.Close(*m_file);
    m_file.reset();
    return error != FsError::None ? error : closed;
  }

  // Renames the temporary over the target, trying again for a while when
  // another program holds one of them. The temporary goes on failure.
  bool Rename(FileSystem& fs, bool waitWhileBusy) {
    for (int attempt = 0;; ++attempt) {
      const FsError error = fs.Rename(*m_dir, m_temporary, *m_dir, m_name);
      if (error == FsError::None) {
        m_temporary.clear();
        return true;
      }
      if (!MayPass(error) || !waitWhileBusy || attempt == kBusyRetries) break;
      PauseWhileBusy();
    }
    Discard(fs);
    return false;
  }

  // The last resort when the directory takes no new file: the target itself
  // is rewritten. The volume must have room for what the file grows by, so
  // that a full disk cannot leave it torn part way.
  bool WriteInPlace(FileSystem& fs, const Source& source, bool durable) {
    // A content that keeps the target's own tail where it is needs only its
    // head written; any other use of the target's own bytes cannot be
    // streamed into itself.
    const bool ownTail = source.tailDir == m_dir && source.tailName == m_name;
    const bool headOnly = ownTail && source.tailOffset == source.head.size();
    if (ownTail && !headOnly) return false;
    FsInfo info;
    if (fs.Stat(*m_dir, m_name, info) != FsError::None) return false;
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
    if (newSize > oldSize && (fs.FreeSpace(*m_dir, room) != FsError::None || room < newSize - oldSize)) return false;
    std::unique_ptr<FsFile> out;
    if (fs.OpenFile(*m_dir, m_name, FsAccess::Modify, out) != FsError::None) return false;
    bool written = WriteContent(fs, *out, headOnly ? Source{source.head, nullptr, {}, 0} : source) == FsError::None;
    if (written && newSize < oldSize) written = fs.SetSize(*out, newSize) == FsError::None;
    if (written && durable) written = fs.Flush(*out) == FsError::None;
    return fs.Close(*out) == FsError::None && written;
  }

  // Closes and deletes the temporary, if there is one.
  void Discard(FileSystem& fs) {
    if (m_file) {
      fs.Close(*m_file);
      m_file.reset();
    }
    if (!m_temporary.empty()) DeleteTemporary(fs, *m_dir, m_temporary);
    m_temporary.clear();
  }

 private:
  FsDir* m_dir;
  std::string m_name;
  bool m_targetExists = false;
  std::string m_temporary;
  std::unique_ptr<FsFile> m_file;
};

// One installation: its entries, the distinct files they go to, and the
// directories found and made on the way.
class Installation {
 public:
  Installation(FileSystem& fs, FsDir& product, FsDir& unpack, UserPrompts& prompts)
      : m_fs(fs), m_product(product), m_unpack(unpack), m_prompts(prompts) {}

  bool Run(const std::vector<const UpdateListSection*>& sections, std::vector<std::string>& failed) {
    for (const UpdateListSection* section : sections) {
      for (const std::string& line : section->m_fileLines) {
        m_entries.push_back(Entry{RelativeEntryPath(line)});
        if (!Plan(m_entries.size() - 1)) {
          Abandon();
          break;
        }
      }
    }
    if (!m_abandoned && Stage()) Commit();
    for (const Entry& entry : m_entries) {
      if (entry.failed) failed.push_back(entry.relative);
    }
    return std::none_of(m_entries.begin(), m_entries.end(), [](const Entry& e) { return e.failed; });
  }

 private:
  struct Entry {
    std::string relative;
    bool failed = false;
  };
  struct Item {
    Replacement replacement;
    std::string sourceName;  // in the unpack directory
    std::vector<size_t> entries;
    enum class State { Planned, Staged, InPlace, Failed } state = State::Planned;
  };
  struct MadeDir {
    FsDir* parent;
    std::string name;
    std::string key;
  };

  // Finds the source and the target of an entry, making the target's
  // directories. False only for a failure that ends the installation.
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
    if (fileName.empty()) return FailEntry(index);
    const std::string path = m_product.Path() + relative;
    // The unpacked file is looked for first, so that an entry without one
    // creates nothing.
    FsError error = FsError::None;
    const std::string sourceName = Find(m_unpack, fileName, error);
    FsInfo source;
    if (error == FsError::None && !sourceName.empty()) error = m_fs.Stat(m_unpack, sourceName, source);
    if (error != FsError::None) return Failed(index, error, path);
    if (sourceName.empty() || source.type != FsType::File) return FailEntry(index);
    FsDir* dir = &m_product;
    for (std::string_view part : dirs) {
      dir = Subdirectory(*dir, EntryNameOnDisk(part), error);
      if (dir == nullptr) return Failed(index, error, path);
    }
    std::string targetName = Find(*dir, fileName, error);
    if (error != FsError::None) return Failed(index, error, path);
    if (targetName.empty()) {
      targetName = fileName;
      Made(*dir, targetName);
    }
    const std::string key = dir->Path() + targetName;
    auto [found, added] = m_itemByTarget.emplace(key, m_items.size());
    if (added) {
      m_items.push_back(Item{Replacement(*dir, targetName), sourceName, {}});
      error = m_items.back().replacement.CheckTarget(m_fs);
      if (error != FsError::None) {
        m_items.back().state = Item::State::Failed;
        if (Ends(error)) return Fatal(error, path);
      }
    }
    Item& item = m_items[found->second];
    item.entries.push_back(index);
    return item.state == Item::State::Failed ? FailEntry(index) : true;
  }

  // Writes every planned file to its temporary and flushes them, a group
  // at a time. False, with everything undone, when one of them failed.
  bool Stage() {
    std::vector<Item*> open;
    auto flushOpen = [&]() {
      FsError first = FsError::None;
      Item* failedItem = nullptr;
      for (Item* item : open) {
        const FsError error = item->replacement.Flush(m_fs, true);
        if (error != FsError::None && failedItem == nullptr) {
          first = error;
          failedItem = item;
        }
      }
      open.clear();
      return failedItem == nullptr || Fatal(first, failedItem->replacement.TargetPath());
    };
    for (Item& item : m_items) {
      if (item.state != Item::State::Planned) continue;
      FsError error = FsError::None;
      switch (item.replacement.Write(m_fs, SourceOf(item), error)) {
        case Replacement::Stage::Staged:
          item.state = Item::State::Staged;
          open.push_back(&item);
          if (open.size() == kFlushGroup && !flushOpen()) return false;
          break;
        case Replacement::Stage::InPlace:
          item.state = Item::State::InPlace;
          break;
        case Replacement::Stage::Failed:
          // A directory that takes no new file refuses this file alone.
          if (!Ends(error)) {
            FailItem(item);
            break;
          }
          return Fatal(error, item.replacement.TargetPath());
      }
    }
    return flushOpen();
  }

  // Renames every staged file over its target (or rewrites it in place),
  // then flushes the directories whose names changed.
  void Commit() {
    std::map<FsDir*, std::vector<Item*>> renamed;
    for (Item& item : m_items) {
      if (item.state != Item::State::Staged && item.state != Item::State::InPlace) continue;
      // Once a handful of files failed, a file held open is no longer
      // waited for: the run has files held by a running program.
      const bool wait = m_failures < kFailureBoxes;
      const bool done = item.state == Item::State::Staged ? item.replacement.Rename(m_fs, wait)
                                                          : item.replacement.WriteInPlace(m_fs, SourceOf(item), true);
      if (!done) {
        FailItem(item);
      } else if (item.state == Item::State::Staged) {
        renamed[&item.replacement.Dir()].push_back(&item);
      }
    }
    // A name change that may not survive a power cut is no installed file.
    for (auto& [dir, items] : renamed) {
      if (m_fs.FlushDir(*dir) == FsError::None) continue;
      for (Item* item : items) FailItem(*item);
    }
  }

  Source SourceOf(const Item& item) { return Source{{}, &m_unpack, item.sourceName, 0}; }

  // The subdirectory `name` of `parent`, found whatever its letter case,
  // made when missing; null with the reason when it can be neither.
  FsDir* Subdirectory(FsDir& parent, const std::string& name, FsError& error) {
    std::string found = Find(parent, name, error);
    if (error != FsError::None) return nullptr;
    const std::string key = parent.Path() + (found.empty() ? name : found);
    auto held = m_dirs.find(key);
    if (held != m_dirs.end()) return held->second.get();
    if (found.empty()) {
      if ((error = m_fs.MakeDir(parent, name, false)) != FsError::None) return nullptr;
      Made(parent, name);
      m_made.push_back(MadeDir{&parent, name, key});
      found = name;
    }
    std::unique_ptr<FsDir> dir;
    if ((error = m_fs.OpenDir(parent, found, dir, &m_product)) != FsError::None) return nullptr;
    return (m_dirs[key] = std::move(dir)).get();
  }

  // The name of the entry of `dir` that `name` denotes: itself when it
  // exists as written, else one equal to it when ASCII case is ignored;
  // empty when there is none. `error` tells when that cannot be known.
  std::string Find(FsDir& dir, const std::string& name, FsError& error) {
    FsInfo info;
    error = m_fs.Stat(dir, name, info);
    if (error == FsError::None) return name;
    if (error != FsError::NotFound) return std::string();
    error = FsError::None;
    const auto* names = Listing(dir, error);
    if (names == nullptr) return std::string();
    const auto found = names->find(AsciiUpper(name));
    return found == names->end() ? std::string() : found->second;
  }

  // The names of `dir` by their ASCII upper-case form, read on first use;
  // where several differ only in case, the first in byte order. Null when
  // the directory cannot be read.
  std::unordered_map<std::string, std::string>* Listing(FsDir& dir, FsError& error) {
    auto found = m_listings.find(&dir);
    if (found != m_listings.end()) return &found->second;
    std::vector<FsEntry> entries;
    if ((error = m_fs.List(dir, kMaxListing, entries)) != FsError::None) return nullptr;
    auto& names = m_listings[&dir];
    for (const FsEntry& entry : entries) Remember(names, entry.name);
    return &names;
  }
  static void Remember(std::unordered_map<std::string, std::string>& names, const std::string& name) {
    auto [it, added] = names.emplace(AsciiUpper(name), name);
    if (!added && name < it->second) it->second = name;
  }
  // Records a name just planned or made in `dir`, where the run has listed it.
  void Made(FsDir& dir, const std::string& name) {
    const auto found = m_listings.find(&dir);
    if (found != m_listings.end()) Remember(found->second, name);
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
  void FailItem(Item& item) {
    item.state = Item::State::Failed;
    for (size_t index : item.entries) {
      if (!m_entries[index].failed) FailEntry(index);
    }
  }

  // A failure while preparing the files: tells its cause, undoes what was
  // done and fails every entry. Returns false.
  bool Fatal(FsError error, const std::string& path) {
    m_prompts.MessageBox(FileErrorMessage(FileCauseOf(error), path));
    Abandon();
    return false;
  }
  void Abandon() {
    if (m_abandoned) return;
    m_abandoned = true;
    for (Item& item : m_items) item.replacement.Discard(m_fs);
    // The directories this installation made, deepest first; each one's
    // own handle goes before it is removed.
    for (auto made = m_made.rbegin(); made != m_made.rend(); ++made) {
      m_listings.erase(m_dirs[made->key].get());
      m_dirs.erase(made->key);
      m_fs.RemoveDir(*made->parent, made->name);
    }
    for (Entry& entry : m_entries) entry.failed = true;
  }

  FileSystem& m_fs;
  FsDir& m_product;
  FsDir& m_unpack;
  UserPrompts& m_prompts;
  std::vector<Entry> m_entries;
  std::vector<Item> m_items;
  std::map<std::string, size_t> m_itemByTarget;          // by the target's path
  std::map<std::string, std::unique_ptr<FsDir>> m_dirs;  // below the product directory, by path
  std::unordered_map<const FsDir*, std::unordered_map<std::string, std::string>> m_listings;
  std::vector<MadeDir> m_made;
  size_t m_failures = 0;
  bool m_abandoned = false;
};

}  // namespace

bool InstallEntries(FileSystem& fs, FsDir& productDir, FsDir& unpackDir,
                    const std::vector<const UpdateListSection*>& sections, std::vector<std::string>& failed,
                    UserPrompts& prompts) {
  return Installation(fs, productDir, unpackDir, prompts).Run(sections, failed);
}

bool ReplaceFileContent(FileSystem& fs, FsDir& dir, const std::string& name, const NewContent& content, bool durable) {
  Replacement replacement(dir, name);
  if (replacement.CheckTarget(fs) != FsError::None) return false;
  Source source{content.head, nullptr, {}, 0};
  if (content.keepTail && replacement.TargetExists()) source = Source{content.head, &dir, name, content.tailOffset};
  FsError error = FsError::None;
  switch (replacement.Write(fs, source, error)) {
    case Replacement::Stage::InPlace:
      return replacement.WriteInPlace(fs, source, durable);
    case Replacement::Stage::Failed:
      return false;
    case Replacement::Stage::Staged:
      break;
  }
  if (replacement.Flush(fs, durable) != FsError::None) {
    replacement.Discard(fs);
    return false;
  }
  return replacement.Rename(fs, true) && (!durable || fs.FlushDir(dir) == FsError::None);
}

}  // namespace quon
