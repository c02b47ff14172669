#include "update/InstallJournal.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>

#include "base/CText.h"
#include "base/Trace.h"
#include "update/Installer.h"
#include "update/RunFiles.h"

namespace quon {

namespace {

constexpr std::string_view kJournalHeading = "QuonUpdate installation 1";
constexpr std::string_view kEndLine = "end";
// Entries of the product directory looked at for installations to recover.
constexpr size_t kMaxTopEntries = 100000;

// Names and versions are written with '%' and every byte that is no visible
// ASCII character as %XX, so that a line always splits at its blanks.
std::string Escaped(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.empty() ? "%" : out;  // a lone '%' is the empty text
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescaped(std::string_view text, std::string& out) {
  out.clear();
  if (text == "%") return true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t end = std::min(line.find(' ', start), line.size());
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// A directory below the product directory, by its names joined by '/',
// opened one name at a time (a link inside the product directory is
// followed where the system allows links at all, as the installation
// followed it).
struct OpenedDir {
  FsDir* dir = nullptr;
  std::unique_ptr<FsDir> owned;
};
FsError OpenBelow(FileSystem& fs, FsDir& product, const std::string& relative, OpenedDir& opened) {
  opened.dir = &product;
  opened.owned.reset();
  size_t start = 0;
  while (start < relative.size()) {
    const size_t end = std::min(relative.find('/', start), relative.size());
    std::unique_ptr<FsDir> next;
    if (const FsError error = fs.OpenDir(*opened.dir, relative.substr(start, end - start), next, &product);
        error != FsError::None) {
      return error;
    }
    opened.owned = std::move(next);
    opened.dir = opened.owned.get();
    start = end + 1;
  }
  return FsError::None;
}

// Whether `name` stands in `dir`: only NotFound means it does not; any other
// failure to tell is the error the caller gets.
FsError Exists(FileSystem& fs, FsDir& dir, const std::string& name, bool& exists, FsType* type = nullptr) {
  FsInfo info;
  const FsError error = fs.Stat(dir, name, info);
  exists = error == FsError::None;
  if (exists && type) *type = info.type;
  return error == FsError::NotFound ? FsError::None : error;
}

// A rename of the undo tried again for about a second while another
// program (a scanner) holds one of the files.
FsError RenameBack(FileSystem& fs, FsDir& fromDir, const std::string& from, FsDir& toDir, const std::string& to) {
  constexpr int kTries = 6;
  FsError error = FsError::None;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    error = fs.Rename(fromDir, from, toDir, to);
    if (error != FsError::Busy && error != FsError::Refused) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return error;
}

// Writes the bytes of `from` in `fromDir` over the file `name` of `dir` in
// place, flushed: for a directory that takes no new file.
FsError WriteBackInPlace(FileSystem& fs, FsDir& fromDir, const std::string& from, FsDir& dir, const std::string& name) {
  std::unique_ptr<FsFile> in, out;
  FsInfo info;
  FsError error = fs.Stat(fromDir, from, info);
  if (error == FsError::None) error = fs.OpenFile(fromDir, from, FsAccess::Read, in);
  if (error == FsError::None) error = fs.OpenFile(dir, name, FsAccess::Modify, out);
  if (error == FsError::None) error = CopyFileData(fs, *in, *out);
  if (error == FsError::None) error = fs.SetSize(*out, info.size);
  if (error == FsError::None) error = fs.Flush(*out);
  if (out) {
    const FsError closed = fs.Close(*out);
    if (error == FsError::None) error = closed;
  }
  return error;
}

// Brings the nth file of the journal back to what it was. False when it
// could not be.
bool UndoFile(FileSystem& fs, FsDir& product, FsDir& folder, const Journal& journal, size_t index) {
  const JournalFile& file = journal.files[index];
  const std::string backup = BackupName(index);
  bool backupThere = false;
  if (Exists(fs, folder, backup, backupThere) != FsError::None) return false;
  OpenedDir opened;
  const FsError openError = OpenBelow(fs, product, file.dir, opened);
  // A directory that is not there holds nothing of the installation (it
  // was to be made); a copy of what stood in it would say otherwise.
  if (openError == FsError::NotFound) return !backupThere;
  if (openError != FsError::None) return false;
  FsDir& dir = *opened.dir;
  // A file a rollback removes has no temporary.
  bool temporaryThere = false;
  if (!file.removes && Exists(fs, dir, file.temporary, temporaryThere) != FsError::None) return false;
  // Before "staged" nothing was renamed or written in place, and a copy
  // in the folder may not have been written to its end: it is only removed.
  if (journal.stage != JournalStage::Planned) {
    if (file.replaces && backupThere) {
      // A file rewritten in place (its directory takes no new file) gets
      // its old bytes back the same way; a moved one goes back whole.
      const FsError error = file.inPlace ? WriteBackInPlace(fs, folder, backup, dir, file.name)
                                         : RenameBack(fs, folder, backup, dir, file.name);
      if (error != FsError::None) return false;
      if (file.inPlace) DeleteOwnFile(fs, folder, backup);
    } else if (!file.replaces && !temporaryThere) {
      // The temporary went by the rename that put the file in place.
      bool added = false;
      FsType type = FsType::Other;
      if (Exists(fs, dir, file.name, added, &type) != FsError::None) return false;
      if (added && type == FsType::File && DeleteOwnFile(fs, dir, file.name) != FsError::None) return false;
    }
  }
  if (temporaryThere) DeleteOwnFile(fs, dir, file.temporary);
  return true;
}

// Flushes the directories the journal's files are in, and the product
// directory (where the made directories and the folder are named).
void FlushDirectories(FileSystem& fs, FsDir& product, const Journal& journal) {
  std::set<std::string> flushed;
  for (const JournalFile& file : journal.files) {
    if (file.dir.empty() || !flushed.insert(file.dir).second) continue;
    OpenedDir opened;
    if (OpenBelow(fs, product, file.dir, opened) == FsError::None) fs.FlushDir(*opened.dir);
  }
  for (const std::string& made : journal.madeDirs) {
    const size_t slash = made.rfind('/');
    OpenedDir opened;
    if (slash != std::string::npos && OpenBelow(fs, product, made.substr(0, slash), opened) == FsError::None) {
      fs.FlushDir(*opened.dir);
    }
  }
  fs.FlushDir(product);
}

// The directories the installation made, deepest (made last) first; one
// that something else has meanwhile been put into stays. False when an
// empty one could not be removed.
bool RemoveMadeDirectories(FileSystem& fs, FsDir& product, const Journal& journal) {
  bool removed = true;
  for (auto made = journal.madeDirs.rbegin(); made != journal.madeDirs.rend(); ++made) {
    const size_t slash = made->rfind('/');
    const std::string name = slash == std::string::npos ? *made : made->substr(slash + 1);
    OpenedDir parent;
    const FsError opened =
        OpenBelow(fs, product, slash == std::string::npos ? std::string() : made->substr(0, slash), parent);
    if (opened != FsError::None) {
      removed = removed && opened == FsError::NotFound;
      continue;
    }
    const FsError error = fs.RemoveDir(*parent.dir, name);
    if (error == FsError::None || error == FsError::NotFound) continue;
    std::unique_ptr<FsDir> dir;
    std::vector<FsEntry> inside;
    if (fs.OpenDir(*parent.dir, name, dir) != FsError::None || fs.List(*dir, 1, inside) != FsError::None ||
        inside.empty()) {
      removed = false;
    }
  }
  return removed;
}

FsError ReadJournal(FileSystem& fs, FsFile& file, std::string& text) {
  text.clear();
  char buffer[65536];
  while (text.size() <= kMaxJournalBytes) {
    size_t got = 0;
    if (const FsError error = fs.Read(file, buffer, sizeof buffer, got); error != FsError::None) return error;
    if (got == 0) break;
    text.append(buffer, got);
  }
  return text.size() <= kMaxJournalBytes ? FsError::None : FsError::Other;
}

}  // namespace

bool IsUndoFolderName(std::string_view name) {
  if (name.substr(0, kUndoFolderStem.size()) != kUndoFolderStem) return false;
  const std::string_view counter = name.substr(kUndoFolderStem.size());
  if (counter.empty()) return true;
  if (counter.size() > 3 || counter[0] == '0') return false;  // kUndoFolderNames
  return std::all_of(counter.begin(), counter.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string BackupName(size_t index) { return std::to_string(index + 1); }

FsError OpenBelowProduct(FileSystem& fs, FsDir& product, const std::string& relative, std::unique_ptr<FsDir>& opened) {
  OpenedDir dir;
  const FsError error = OpenBelow(fs, product, relative, dir);
  opened = std::move(dir.owned);
  return error;
}

std::string JournalText(const Journal& journal) {
  std::string text = std::string(kJournalHeading) + "\n";
  text += "from " + Escaped(journal.fromVersion) + "\n";
  text += "to " + Escaped(journal.toVersion) + "\n";
  for (const std::string& dir : journal.madeDirs) text += "dir " + Escaped(dir) + "\n";
  if (journal.rollback) text += "rollback\n";
  for (const JournalFile& file : journal.files) {
    if (file.removes) {
      text += "remove " + Escaped(file.dir) + " " + Escaped(file.name) + "\n";
      continue;
    }
    text += std::string(file.replaces ? "replace " : "add ") + Escaped(file.dir) + " " + Escaped(file.name) + " " +
            Escaped(file.temporary) + "\n";
  }
  return text + std::string(kEndLine) + "\n";
}

std::string JournalStageLine(JournalStage stage) {
  return stage == JournalStage::Committed ? "committed\n" : stage == JournalStage::Staged ? "staged\n" : "";
}

bool ParseJournal(std::string_view text, Journal& journal) {
  journal = Journal();
  bool ended = false;
  bool first = true;
  size_t start = 0;
  while (start < text.size()) {
    const size_t newline = text.find('\n', start);
    // A last line without its line end was being written: it does not count.
    if (newline == std::string_view::npos) break;
    const std::string_view line = text.substr(start, newline - start);
    start = newline + 1;
    if (first) {
      if (line != kJournalHeading) return false;
      first = false;
      continue;
    }
    if (ended) {
      constexpr std::string_view kInPlace = "inplace ";
      if (line.substr(0, kInPlace.size()) == kInPlace && journal.stage == JournalStage::Planned) {
        const size_t number = static_cast<size_t>(std::atoll(std::string(line.substr(kInPlace.size())).c_str()));
        if (number >= 1 && number <= journal.files.size()) journal.files[number - 1].inPlace = true;
      }
      if (line == "staged" && journal.stage == JournalStage::Planned) journal.stage = JournalStage::Staged;
      if (line == "committed" && journal.stage == JournalStage::Staged) journal.stage = JournalStage::Committed;
      continue;
    }
    if (line == kEndLine) {
      ended = true;
      continue;
    }
    const std::vector<std::string_view> words = Words(line);
    std::string a, b, c;
    if (line == "rollback" && journal.files.empty()) {
      journal.rollback = true;
    } else if (words.size() == 3 && words[0] == "remove" && journal.rollback) {
      // Only a rollback removes files.
      if (!Unescaped(words[1], a) || !Unescaped(words[2], b) || b.empty() ||
          journal.files.size() + journal.madeDirs.size() >= kMaxJournalEntries) {
        return false;
      }
      journal.files.push_back(JournalFile{true, a, b, {}, false, true});
    } else if (words.size() == 2 && (words[0] == "from" || words[0] == "to" || words[0] == "dir")) {
      if (!Unescaped(words[1], a)) return false;
      if (words[0] == "from") journal.fromVersion = a;
      if (words[0] == "to") journal.toVersion = a;
      if (words[0] == "dir") {
        if (a.empty() || journal.files.size() + journal.madeDirs.size() >= kMaxJournalEntries) return false;
        journal.madeDirs.push_back(a);
      }
    } else if (words.size() == 4 && (words[0] == "add" || words[0] == "replace")) {
      if (!Unescaped(words[1], a) || !Unescaped(words[2], b) || !Unescaped(words[3], c)) return false;
      // A file and its temporary, as an installation names them, and no
      // more of them than an installation makes.
      if (b.empty() || c.compare(0, b.size(), b) != 0 || c.rfind(kInstallTemporaryMark) != b.size() ||
          !IsInstallTemporaryName(c) || journal.files.size() + journal.madeDirs.size() >= kMaxJournalEntries) {
        return false;
      }
      journal.files.push_back(JournalFile{words[0] == "replace", a, b, c, false, false});
    } else {
      return false;
    }
  }
  return ended;
}

bool RemoveUndoFolder(FileSystem& fs, FsDir& product, const std::string& folderName) {
  {
    std::unique_ptr<FsDir> folder;
    if (fs.OpenDir(product, folderName, folder) != FsError::None) return false;
    std::vector<FsEntry> entries;
    if (fs.List(*folder, kMaxTopEntries, entries) != FsError::None) return false;
    // The journal last: while any copy is left, it says what the copy is
    // (the running program's own file, say, which Windows lets no one
    // delete until it has ended).
    bool copiesGone = true;
    for (const FsEntry& entry : entries) {
      if (entry.name != kJournalName && DeleteOwnFile(fs, *folder, entry.name) != FsError::None) copiesGone = false;
    }
    if (!copiesGone) return false;
    DeleteOwnFile(fs, *folder, std::string(kJournalName));
  }
  FsError error = fs.RemoveDir(product, folderName);
  if (error != FsError::None && error != FsError::NotFound) error = fs.RemoveDir(product, folderName);
  fs.FlushDir(product);
  return error == FsError::None || error == FsError::NotFound;
}

bool UndoInstallation(FileSystem& fs, FsDir& product, const std::string& folderName, const Journal& journal) {
  bool complete = true;
  {
    std::unique_ptr<FsDir> folder;
    if (fs.OpenDir(product, folderName, folder) != FsError::None) return false;
    // In reverse, and no further than a file that cannot be brought back:
    // what is undone is always the end of what was put in place, so the
    // files that carry the version (put in place last) go back first and
    // never name files that are no longer there.
    for (size_t i = journal.files.size(); i-- > 0 && complete;) {
      complete = UndoFile(fs, product, *folder, journal, i);
    }
    fs.FlushDir(*folder);
  }
  RemoveMadeDirectories(fs, product, journal);
  FlushDirectories(fs, product, journal);
  return complete && RemoveUndoFolder(fs, product, folderName);
}

namespace {

enum class FolderState { Unfinished, Committed, Unreadable, Empty };

// What an installation's folder holds: its journal (read when the folder
// and the journal are this user's own and nobody else's, so that no other
// user can have the updater follow a journal of theirs), and whether
// anything else is in it.
FolderState ReadFolder(FileSystem& fs, FsDir& product, const std::string& name, Journal& journal) {
  std::unique_ptr<FsDir> folder;
  std::vector<FsEntry> inside;
  if (fs.OpenDir(product, name, folder) != FsError::None || !fs.IsPrivate(*folder) ||
      fs.List(*folder, kMaxTopEntries, inside) != FsError::None) {
    return FolderState::Unreadable;
  }
  bool onlyJournal = true;
  for (const FsEntry& entry : inside) onlyJournal = onlyJournal && entry.name == kJournalName;
  std::string text;
  std::unique_ptr<FsFile> file;
  const FsError opened = fs.OpenFile(*folder, std::string(kJournalName), FsAccess::Read, file);
  FsError read = opened;
  if (opened == FsError::None) read = fs.IsPrivate(*file) ? ReadJournal(fs, *file, text) : FsError::Refused;
  if (read == FsError::None && ParseJournal(text, journal)) {
    return journal.stage == JournalStage::Committed ? FolderState::Committed : FolderState::Unfinished;
  }
  // A journal never written to its end: the installation had changed
  // nothing yet. Anything else (a journal held or unreadable now, copies of
  // replaced files that no journal describes) is left alone.
  return onlyJournal && (read == FsError::None || read == FsError::NotFound) ? FolderState::Empty
                                                                              : FolderState::Unreadable;
}

}  // namespace

bool ReadBackup(FileSystem& fs, FsDir& product, Journal& journal) {
  return ReadFolder(fs, product, std::string(kBackupFolderName), journal) == FolderState::Committed &&
         !journal.rollback;
}

bool RemoveBackup(FileSystem& fs, FsDir& product) {
  const std::string name(kBackupFolderName);
  {
    std::unique_ptr<FsDir> folder;
    const FsError opened = fs.OpenDir(product, name, folder);
    if (opened == FsError::NotFound) return true;
    // What another user put under the name is neither read nor emptied:
    // it is no backup (ReadBackup never follows it).
    if (opened == FsError::None && !fs.IsPrivate(*folder)) return true;
    std::vector<FsEntry> entries;
    if (opened != FsError::None || fs.List(*folder, kMaxTopEntries, entries) != FsError::None) return false;
    // The journal first: without it, what is left is no backup.
    const FsError journalGone = DeleteOwnFile(fs, *folder, std::string(kJournalName));
    if (journalGone != FsError::None && journalGone != FsError::NotFound) return false;
    fs.FlushDir(*folder);
    for (const FsEntry& entry : entries) {
      if (entry.name != kJournalName) DeleteOwnFile(fs, *folder, entry.name);
    }
  }
  const FsError error = fs.RemoveDir(product, name);
  fs.FlushDir(product);
  return error == FsError::None || error == FsError::NotFound;
}

bool FinishCommittedInstallation(FileSystem& fs, FsDir& product, const std::string& folderName, const Journal& journal,
                                 bool keepBackup) {
  if (journal.rollback) {
    // A rollback's journal names the directories the rolled-back
    // installation made: the backup goes once the empty ones have.
    if (!RemoveMadeDirectories(fs, product, journal)) return false;
    fs.FlushDir(product);
    // The folder stays until the backup has gone, for the next start.
    return RemoveBackup(fs, product) && RemoveUndoFolder(fs, product, folderName);
  }
  // The backup that stands describes what came before an earlier
  // installation: it goes before this one's folder takes its name.
  if (!RemoveBackup(fs, product)) return false;  // the folder stays, for the next start
  if (keepBackup && fs.Rename(product, folderName, product, std::string(kBackupFolderName)) == FsError::None) {
    return fs.FlushDir(product) == FsError::None;
  }
  return RemoveUndoFolder(fs, product, folderName);
}

bool ClearFinishedInstallations(FileSystem& fs, FsDir& product) {
  std::vector<FsEntry> entries;
  if (fs.List(product, kMaxTopEntries, entries) != FsError::None) return false;
  for (const FsEntry& entry : entries) {
    if (!IsUndoFolderName(entry.name)) continue;
    Journal journal;
    const FolderState state =
        entry.type == FsType::Directory ? ReadFolder(fs, product, entry.name, journal) : FolderState::Unreadable;
    if (state == FolderState::Unfinished || state == FolderState::Unreadable) return false;
    // The product no longer matches the backup either.
    if (!RemoveBackup(fs, product) || !RemoveUndoFolder(fs, product, entry.name)) return false;
  }
  return true;
}

std::vector<InterruptedInstallation> RecoverInterruptedInstallations(FileSystem& fs, const std::string& productDir,
                                                                     bool keepBackup) {
  std::vector<InterruptedInstallation> found;
  std::unique_ptr<FsDir> product;
  std::vector<FsEntry> entries;
  if (productDir.empty() || fs.OpenRoot(productDir, product) != FsError::None ||
      fs.List(*product, kMaxTopEntries, entries) != FsError::None) {
    return found;
  }
  for (const FsEntry& entry : entries) {
    if (!IsUndoFolderName(entry.name)) continue;
    Journal journal;
    const FolderState state =
        entry.type == FsType::Directory ? ReadFolder(fs, *product, entry.name, journal) : FolderState::Unreadable;
    if (state == FolderState::Empty) {
      RemoveUndoFolder(fs, *product, entry.name);
      continue;
    }
    InterruptedInstallation outcome;
    outcome.rollback = journal.rollback;
    if (state == FolderState::Committed) {
      outcome.outcome = InterruptedInstallation::Outcome::Finished;
      outcome.version = journal.toVersion;
      FinishCommittedInstallation(fs, *product, entry.name, journal, keepBackup);
    } else if (state == FolderState::Unfinished && UndoInstallation(fs, *product, entry.name, journal)) {
      outcome.outcome = InterruptedInstallation::Outcome::Undone;
      outcome.version = journal.fromVersion;
    } else {
      outcome.outcome = InterruptedInstallation::Outcome::Failed;
      outcome.version = journal.toVersion;
    }
    TraceMessage("RecoverInterruptedInstallations: " + entry.name + ":", InterruptedInstallationText(outcome));
    found.push_back(outcome);
  }
  return found;
}

std::string InterruptedInstallationText(const InterruptedInstallation& found) {
  const std::string what = found.rollback ? "A rollback" : "An installation";
  switch (found.outcome) {
    case InterruptedInstallation::Outcome::Undone:
      return what + " that was interrupted has been undone: the product is at version " + found.version + " again.";
    case InterruptedInstallation::Outcome::Finished:
      return what + " that was interrupted has been finished: the product is at version " + found.version + ".";
    case InterruptedInstallation::Outcome::Failed:
      break;
  }
  return "An installation that was interrupted could not be undone yet; close the programs that use the product's "
         "files and start QuonUpdate again.";
}

}  // namespace quon
