// An installation under every file-system failure it can meet: each call
// of the run failed in turn with each kind of failure, and the power cut
// after each call. The product is the one whose version QUON.EXE's version
// resource and Quon.Version both carry. Whatever happens, it is wholly old
// or wholly new (at once after a failure, after the next start after a
// power cut), the version never names new files that are not all there
// (not even on the disk a power cut leaves, before the next start), and
// nothing of the installation outlives the run (or the next start).
#include <gtest/gtest.h>

#include <optional>

#include "support/FaultFileSystem.h"
#include "support/SessionFixture.h"
#include "update/InstallJournal.h"
#include "update/Rollback.h"
#include "update/RunFiles.h"

namespace quon {
namespace {

using test::RunState;
namespace fs = std::filesystem;

const std::string kOldVersion("\x06\x00\x00\x00\x79\x00\x03\x00", 8);
const std::string kNewVersion("\x08\x00\x02\x00\x00\x00\x0B\x00", 8);
const std::string kUnpack = "update7.0000.dir";

// The product's files before and after the update ("" for absent): the
// executable that carries the version (listed first), files in the product
// directory, below an existing directory and a new one, and one of several
// copy blocks.
struct Target {
  std::string path, before, after;
};
const std::vector<Target>& Targets() {
  static const std::vector<Target> targets = {
      {"QUON.EXE", "old exe", "new exe"},
      {"a.dll", "old a", "new a"},
      {"sub/b.dll", "old b", "new b"},
      {"lib/n.dll", "", "new n"},
      {"big.dat", std::string(100, 'o'), std::string((3 << 20) / 2, 'n')},
  };
  return targets;
}

// A product with its update unpacked and the install page showing.
struct Product : test::SessionFixture {
  std::unique_ptr<UpdateDlg> dlg = MakeDlg();

  explicit Product(FileSystem& files) {
    for (const Target& t : Targets()) {
      if (!t.before.empty()) product.Write(t.path, t.before);
      product.Write(kUnpack + "/" + fs::path(t.path).filename().string(), t.after);
    }
    fs::permissions(product.Path(kUnpack), fs::perms::owner_all);  // as the run makes it
    product.Write("Quon.Version", kOldVersion);
    product.Write("update7.0000", "cabinet");
    UpdateRunState& state = RunState(*dlg);
    state.m_strProductDir = product.Dir();
    state.m_strDownloadFile = product.Path("update7.0000");
    state.m_strUnpackDir = product.Dir() + kUnpack + std::string(1, platform.separator);
    state.m_strUpdateVersion = "6.0.121.3";
    state.m_strNewVersion = "8.2.0.11";
    state.m_bVersionFileUsed = true;
    state.m_bInstallPage = true;
    state.m_listFile.ParseText("[MAIN]\nQUON.EXE\na.dll\nsub\\b.dll\nlib/n.dll\nbig.dat\n");
    platform.files = &files;
  }

  enum class Files { Old, New, Mixed };
  friend void PrintTo(Files files, std::ostream* out) {
    *out << (files == Files::Old ? "all old" : files == Files::New ? "all new" : "old and new mixed");
  }

  // Every product file holds its old or its new bytes, and the version
  // (the executable's, the version file's) is new only when every other
  // file is.
  Files Check() {
    size_t newFiles = 0, newOthers = 0;
    for (const Target& t : Targets()) {
      const std::string now = product.Exists(t.path) ? product.Read(t.path) : "";
      EXPECT_TRUE(now == t.before || now == t.after) << t.path << " holds " << now.size() << " other bytes";
      newFiles += now == t.after ? 1 : 0;
      newOthers += now == t.after && t.path != "QUON.EXE" ? 1 : 0;
    }
    const std::string version = product.Read("Quon.Version");
    EXPECT_TRUE(version == kOldVersion || version == kNewVersion);
    const bool othersNew = newOthers == Targets().size() - 1;
    EXPECT_TRUE(version == kOldVersion || othersNew) << "the version file names files that are not there";
    EXPECT_TRUE(product.Read("QUON.EXE") == "old exe" || othersNew) << "QUON.EXE names files that are not there";
    if (newFiles == 0) {
      EXPECT_FALSE(product.Exists("lib")) << "the folder an undone installation made";
    }
    return newFiles == 0 ? Files::Old : newFiles == Targets().size() ? Files::New : Files::Mixed;
  }
  // Nothing of the installation is left: no temporary, no journal.
  void CheckNothingLeft() {
    for (auto& e : fs::recursive_directory_iterator(product.Dir())) {
      const std::string name = e.path().filename().string();
      EXPECT_EQ(name.find(".quonupd"), std::string::npos) << e.path();
      EXPECT_EQ(name.find("QuonUpdate.undo"), std::string::npos) << e.path();
    }
  }
  // What the next start does first.
  void Restart() {
    RecoverInterruptedInstallations(SystemFileSystem(), product.Dir());
    RemoveLeftoversOfEarlierRuns(SystemFileSystem(), product.Dir());
  }
  bool Complete() { return RunState(*dlg).m_bUpdateComplete; }
};

// Each call of an installation fails in turn (N = 1, 2, ... until the run no
// longer reaches the Nth call), once with each kind of failure. The run
// never reports a success it did not have, tells the user of a failure,
// leaves the product wholly old or wholly new, and the retry link then
// finishes the update.
TEST(FaultSimulation, EveryFailedCallLeavesTheProductOldOrNewAndTheRetryFinishes) {
  const FsError kinds[] = {FsError::Refused, FsError::Busy, FsError::DiskFull, FsError::IoError};
  int runs = 0;
  for (FsError kind : kinds) {
    for (int n = 1;; ++n, ++runs) {
      SCOPED_TRACE("call " + std::to_string(n) + ", failure " + std::to_string(static_cast<int>(kind)));
      test::FaultyFileSystem files;
      files.failCall = n;
      files.failWith = kind;
      Product run(files);
      run.dlg->InstallUpdate();
      const Product::Files after = run.Check();
      if (run.Complete()) {
        EXPECT_EQ(after, Product::Files::New);
      } else {
        EXPECT_EQ(after, Product::Files::Old) << "after " << files.FailedCall();
        EXPECT_FALSE(run.prompts.Texts().empty() &&
                     run.product.Read("QuonUpdateLast.html").find("#install") == std::string::npos)
            << "a failure nobody was told of";
        run.CheckNothingLeft();
        files.failCall = 0;
        run.dlg->InstallUpdate();
        EXPECT_TRUE(run.Complete());
        EXPECT_EQ(run.Check(), Product::Files::New);
      }
      run.Restart();  // a folder that a failed deletion kept after the commit goes at the next start
      run.CheckNothingLeft();
      if (files.Calls() < n) {
        RecordProperty("calls" + std::to_string(static_cast<int>(kind)), n - 1);
        break;
      }
    }
  }
  RecordProperty("runs", runs);
}

// The power is cut after each call in turn; the disk then holds only what
// was flushed, with the names of the directories as they were last flushed
// or as they were left. Even then the version names no file that is not
// there; after the next start (which finishes or undoes the installation
// and removes leftovers) the product is wholly old or wholly new.
TEST(FaultSimulation, APowerCutAfterAnyCallLeavesTheProductOldOrNewAfterTheNextStart) {
  int runs = 0;
  // Also where sub/ takes no new file, so that b.dll is rewritten in place.
  for (const auto& [namesLost, inPlace] : {std::pair{true, false}, {false, false}, {true, true}}) {
    for (int n = 1;; ++n, ++runs) {
      SCOPED_TRACE("cut after call " + std::to_string(n) + (namesLost ? ", names lost" : ", names kept") +
                   (inPlace ? ", b.dll in place" : ""));
      test::PowerCutFileSystem files(n);
      if (inPlace) {
        files.inject = [](const std::string& call, const std::string& name) {
          return call == "CreateFile" && name == "b.dll.quonupd" ? FsError::Refused : FsError::None;
        };
      }
      Product run(files);
      run.dlg->InstallUpdate();
      if (!files.CutHappened()) {
        EXPECT_EQ(run.Check(), Product::Files::New);
        RecordProperty(std::string(namesLost ? "callsNamesLost" : "callsNamesKept") + (inPlace ? "InPlace" : ""), n - 1);
        break;
      }
      files.Cut(namesLost);
      // The disk as the power cut left it, before anything repairs it.
      const std::string version = run.product.Read("Quon.Version");
      const std::string exe = run.product.Exists("QUON.EXE") ? run.product.Read("QUON.EXE") : "";
      if (version == kNewVersion || exe == "new exe") {
        for (const Target& t : Targets()) {
          EXPECT_EQ(run.product.Exists(t.path) ? run.product.Read(t.path) : "", t.after)
              << "the version is new while " << t.path << " is not";
        }
      }
      run.Restart();
      EXPECT_NE(run.Check(), Product::Files::Mixed);
      run.CheckNothingLeft();
    }
  }
  RecordProperty("runs", runs);
}

// A failure whose undoing fails too (the same file refused both ways): the
// undo stops there, so the version's files, put in place last, are old
// again; the folder stays, and the retry link begins no installation over
// it. The next start undoes the rest, and then the retry finishes.
TEST(FaultSimulation, AnUndoThatFailsIsFinishedByTheNextStartBeforeAnotherInstallation) {
  test::FaultyFileSystem files;
  bool refuse = true;
  files.inject = [&refuse](const std::string& call, const std::string& name) {
    return refuse && call == "Rename" && name == "big.dat" ? FsError::IoError : FsError::None;
  };
  Product run(files);
  run.dlg->InstallUpdate();
  EXPECT_EQ(run.product.Read("Quon.Version"), kOldVersion);
  EXPECT_EQ(run.product.Read("QUON.EXE"), "old exe");
  EXPECT_TRUE(run.product.Exists("QuonUpdate.undo"));
  run.prompts.boxes.clear();
  run.dlg->InstallUpdate();
  EXPECT_FALSE(run.Complete());
  EXPECT_EQ(run.prompts.Texts(),
            std::vector<std::string>{InterruptedInstallationText({InterruptedInstallation::Outcome::Failed, {}})});
  refuse = false;
  RecoverInterruptedInstallations(SystemFileSystem(), run.product.Dir());  // the next start, this run's files kept
  EXPECT_EQ(run.Check(), Product::Files::Old);
  run.CheckNothingLeft();
  run.dlg->InstallUpdate();
  EXPECT_TRUE(run.Complete());
  EXPECT_EQ(run.Check(), Product::Files::New);
}

// What the next start finds in a folder of the installation's name that no
// installation of this user's left: it follows no journal of another user,
// nor one that names files an installation never makes, and it reads a
// journal of any size in bounded time. The product stays as it was.
TEST(FaultSimulation, APlantedOrMalformedJournalIsNeverFollowed) {
  std::string huge = "QuonUpdate installation 1\nfrom 1\nto 2\n";
  for (int i = 0; i <= 200000; ++i) huge += "add % f" + std::to_string(i) + " f" + std::to_string(i) + ".quonupd\n";
  using Outcome = InterruptedInstallation::Outcome;
  const struct {
    const char* what;
    std::string journal;
    bool othersMayWrite;
    std::optional<Outcome> outcome;  // none: the folder is simply removed
  } cases[] = {
      {"another user's", "QuonUpdate installation 1\nfrom 1\nto 2\nadd % a.dll a.dll.quonupd\nend\nstaged\n", true,
       Outcome::Failed},
      {"a temporary that is the file itself", "QuonUpdate installation 1\nfrom 1\nto 2\nadd % a.dll a.dll\nend\n",
       false, std::nullopt},
      {"no name", "QuonUpdate installation 1\nfrom 1\nto 2\nadd % % %\nend\n", false, std::nullopt},
      {"more entries than any installation", huge + "end\nstaged\n", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.othersMayWrite && !test::kOthersMayWriteMakesItNotPrivate) continue;
    test::TempDir product;
    product.Write("a.dll", "old a");
    product.Write("QuonUpdate.undo/journal", c.journal);
    fs::permissions(product.Path("QuonUpdate.undo"), c.othersMayWrite ? fs::perms::all : fs::perms::owner_all);
    fs::permissions(product.Path("QuonUpdate.undo/journal"), fs::perms::owner_read | fs::perms::owner_write);
    const auto found = RecoverInterruptedInstallations(SystemFileSystem(), product.Dir());
    EXPECT_EQ(product.Read("a.dll"), "old a");
    EXPECT_EQ(product.Exists("QuonUpdate.undo"), c.outcome.has_value());
    ASSERT_EQ(found.size(), c.outcome ? 1u : 0u);
    if (c.outcome) {
      EXPECT_EQ(found[0].outcome, *c.outcome);
    }
  }
}

// The rollback of that installation, through `files`.
RollbackOutcome RollBack(Product& run, FileSystem& files) {
  std::unique_ptr<FsDir> root;
  if (files.OpenRoot(run.product.Dir(), root) != FsError::None) return RollbackOutcome::Failed;
  return RollBackLastInstallation(files, *root).outcome;
}

// After the installation the product has a backup that the start-up
// clean-up keeps; the rollback puts every file back (the added one and the
// folder it came in go) and the backup goes; a second one finds nothing.
TEST(FaultSimulation, ARollbackPutsTheProductBackAndEndsTheBackup) {
  Product run(SystemFileSystem());
  EXPECT_EQ(RollBack(run, SystemFileSystem()), RollbackOutcome::NothingToRollBack);
  run.dlg->InstallUpdate();
  ASSERT_TRUE(run.Complete());
  run.product.Write("QuonUpdate.Backup/a.dll.quonupd", "");  // a leftover's name is not looked for there
  run.Restart();
  ASSERT_TRUE(run.product.Exists("QuonUpdate.Backup/journal"));
  ASSERT_TRUE(run.product.Exists("QuonUpdate.Backup/a.dll.quonupd"));
  std::unique_ptr<FsDir> root;
  ASSERT_EQ(SystemFileSystem().OpenRoot(run.product.Dir(), root), FsError::None);
  const RollbackResult result = RollBackLastInstallation(SystemFileSystem(), *root);
  EXPECT_EQ(result.outcome, RollbackOutcome::Done);
  EXPECT_EQ(result.fromVersion + " -> " + result.toVersion, "8.2.0.11 -> 6.0.121.3");
  EXPECT_EQ(run.Check(), Product::Files::Old);
  EXPECT_FALSE(run.product.Exists("QuonUpdate.Backup"));
  run.CheckNothingLeft();
  EXPECT_EQ(RollBack(run, SystemFileSystem()), RollbackOutcome::NothingToRollBack);
}

// With backups turned off (the administrator's Rollback = off), the
// installation keeps none and deletes the one an earlier installation
// left, and the rollback is refused.
TEST(FaultSimulation, WithBackupsOffNoneIsKeptAndTheRollbackIsRefused) {
  Product run(SystemFileSystem());
  run.product.Write("QuonUpdate.Backup/journal",
                    "QuonUpdate installation 1\nfrom 5.0.0.0\nto 6.0.121.3\nend\nstaged\ncommitted\n");
  fs::permissions(run.product.Path("QuonUpdate.Backup"), fs::perms::owner_all);
  AdminPolicy noRollback;
  noRollback.rollback = false;
  run.dlg->Session().SetAdminPolicy(noRollback);
  EXPECT_EQ(run.dlg->Session().FindRollback().outcome, RollbackOutcome::TurnedOff);
  run.dlg->InstallUpdate();
  ASSERT_TRUE(run.Complete());
  EXPECT_FALSE(run.product.Exists("QuonUpdate.Backup"));
  run.CheckNothingLeft();
}

// Each call of a rollback fails in turn, and the power is cut after each
// call in turn: after a failure the product is new with its backup whole
// (a second rollback then succeeds); after a power cut and the next start it
// is wholly old without a backup, or wholly new with one that rolls back.
TEST(FaultSimulation, ARollbackThatFailsOrIsCutLeavesTheProductOldOrNewWithAMatchingBackup) {
  int runs = 0;
  for (const int cut : {0, 1, 2}) {  // 0: failed calls; 1: power cut, names lost; 2: names kept
    for (int n = 1;; ++n, ++runs) {
      SCOPED_TRACE((cut ? "cut after call " : "failed call ") + std::to_string(n) + (cut == 1 ? ", names lost" : ""));
      test::PowerCutFileSystem cutFiles(cut ? n : 1 << 30);
      test::FaultyFileSystem failFiles;
      failFiles.failCall = cut ? 0 : n;
      test::FaultyFileSystem& files = cut ? cutFiles : failFiles;
      Product run(SystemFileSystem());
      run.dlg->InstallUpdate();
      ASSERT_TRUE(run.Complete());
      const RollbackOutcome outcome = RollBack(run, files);
      if (cut && cutFiles.CutHappened()) {
        cutFiles.Cut(cut == 1);
        run.Restart();
      } else if (files.Calls() < n) {
        EXPECT_EQ(outcome, RollbackOutcome::Done);
        EXPECT_EQ(run.Check(), Product::Files::Old);
        break;
      } else {
        if (outcome == RollbackOutcome::Failed) {
          EXPECT_EQ(run.Check(), Product::Files::New) << "after " << files.FailedCall();
        }
        run.Restart();  // what a failure after the commit left
      }
      const Product::Files after = run.Check();
      EXPECT_NE(after, Product::Files::Mixed) << "outcome " << static_cast<int>(outcome) << " " << files.FailedCall();
      EXPECT_EQ(run.product.Exists("QuonUpdate.Backup"), after == Product::Files::New);
      run.CheckNothingLeft();
      if (after == Product::Files::New) {
        EXPECT_EQ(RollBack(run, SystemFileSystem()), RollbackOutcome::Done);
        EXPECT_EQ(run.Check(), Product::Files::Old);
      }
    }
  }
  RecordProperty("runs", runs);
}

// What stands under the backup's name and is not this user's own backup
// is never followed: another user's folder, a journal of a rollback, one
// that was never committed, a link. Nothing is changed.
TEST(FaultSimulation, APlantedBackupIsNeverFollowed) {
  const std::string kReplace = "QuonUpdate installation 1\nfrom 1\nto 2\nreplace % a.dll a.dll.quonupd\nend\n";
  const struct {
    const char* what;
    std::string journal;
    bool othersMayWrite;
  } cases[] = {
      {"another user's", kReplace + "staged\ncommitted\n", true},
      {"not committed", kReplace + "staged\n", false},
      {"a rollback's", "QuonUpdate installation 1\nfrom 1\nto 2\nrollback\nremove % a.dll\nend\nstaged\ncommitted\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.othersMayWrite && !test::kOthersMayWriteMakesItNotPrivate) continue;
    test::TempDir product;
    product.Write("a.dll", "new a");
    product.Write("QuonUpdate.Backup/1", "planted");
    product.Write("QuonUpdate.Backup/journal", c.journal);
    fs::permissions(product.Path("QuonUpdate.Backup"), c.othersMayWrite ? fs::perms::all : fs::perms::owner_all);
    std::unique_ptr<FsDir> root;
    ASSERT_EQ(SystemFileSystem().OpenRoot(product.Dir(), root), FsError::None);
    EXPECT_EQ(RollBackLastInstallation(SystemFileSystem(), *root).outcome, RollbackOutcome::NothingToRollBack);
    EXPECT_EQ(product.Read("a.dll"), "new a");
  }
}

}  // namespace
}  // namespace quon
