// An installation under every file-system failure it can meet: each call
// of the run failed in turn with each kind of failure, and the power cut
// after each call. Whatever happens, every product file holds its old or
// its new bytes, the version file names the new version only when every
// file is new, and no temporary outlives the run (or the next start).
#include <gtest/gtest.h>

#include "support/FaultFileSystem.h"
#include "support/SessionFixture.h"
#include "update/RunFiles.h"

namespace quon {
namespace {

using test::RunState;
namespace fs = std::filesystem;

const std::string kOldVersion("\x06\x00\x00\x00\x79\x00\x03\x00", 8);
const std::string kNewVersion("\x08\x00\x02\x00\x00\x00\x0B\x00", 8);
const std::string kUnpack = "update7.0000.dir";

// The product's files before and after the update ("" for absent): in the
// product directory, below an existing directory and a new one, and one of
// several copy blocks.
struct Target {
  std::string path, before, after;
};
const std::vector<Target>& Targets() {
  static const std::vector<Target> targets = {
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
    state.m_strNewVersion = "8.2.0.11";
    state.m_bVersionFileUsed = true;
    state.m_bInstallPage = true;
    state.m_listFile.ParseText("[MAIN]\na.dll\nsub\\b.dll\nlib/n.dll\nbig.dat\n");
    platform.files = &files;
  }

  enum class Files { Old, New, Mixed };
  friend void PrintTo(Files files, std::ostream* out) {
    *out << (files == Files::Old ? "all old" : files == Files::New ? "all new" : "old and new mixed");
  }

  // Every product file holds its old or its new bytes, the version is new
  // only when all of them are, and no temporary is left.
  Files Check() {
    size_t newFiles = 0;
    for (const Target& t : Targets()) {
      const std::string now = product.Exists(t.path) ? product.Read(t.path) : "";
      EXPECT_TRUE(now == t.before || now == t.after) << t.path << " holds " << now.size() << " other bytes";
      newFiles += now == t.after ? 1 : 0;
    }
    const std::string version = product.Read("Quon.Version");
    EXPECT_TRUE(version == kOldVersion || version == kNewVersion);
    if (version == kNewVersion) {
      EXPECT_EQ(newFiles, Targets().size()) << "the version names files that are not there";
    }
    for (auto& e : fs::recursive_directory_iterator(product.Dir())) {
      EXPECT_EQ(e.path().filename().string().find(".quonupd"), std::string::npos) << e.path();
    }
    return newFiles == 0 ? Files::Old : newFiles == Targets().size() ? Files::New : Files::Mixed;
  }
  bool Complete() { return RunState(*dlg).m_bUpdateComplete; }
};

// Each call of an installation fails in turn (N = 1, 2, ... until the run no
// longer reaches the Nth call), once with each kind of failure. The run
// never reports a success it did not have, tells the user of a failure, and
// the retry link then finishes the update.
TEST(FaultSimulation, EveryFailedCallLeavesOldOrNewFilesAndTheRetryFinishes) {
  const FsError kinds[] = {FsError::Refused, FsError::Busy, FsError::DiskFull, FsError::IoError};
  for (FsError kind : kinds) {
    for (int n = 1;; ++n) {
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
        // Only a file that could not be renamed into place (held open), or
        // one refused on its own, leaves the others installed; anything
        // else while preparing installs nothing. (A run may also have put
        // everything in place and failed after: it is then no success.)
        if (kind != FsError::Refused && files.FailedCall() != "Rename") {
          EXPECT_NE(after, Product::Files::Mixed) << "after " << files.FailedCall();
        }
        EXPECT_FALSE(run.prompts.Texts().empty() &&
                     run.product.Read("QuonUpdateLast.html").find("#install") == std::string::npos)
            << "a failure nobody was told of";
        files.failCall = 0;
        run.dlg->InstallUpdate();
        EXPECT_TRUE(run.Complete());
        EXPECT_EQ(run.Check(), Product::Files::New);
      }
      if (files.Calls() < n) {
        RecordProperty("calls" + std::to_string(static_cast<int>(kind)), n - 1);
        break;
      }
    }
  }
}

// The power is cut after each call in turn; the disk then holds only what
// was flushed, with the names of the directories as they were last flushed
// or as they were left. After the next start (which removes leftovers)
// every file is old or new, and the version is new only with every file.
TEST(FaultSimulation, APowerCutAfterAnyCallLeavesOldOrNewFiles) {
  for (bool namesLost : {true, false}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE("cut after call " + std::to_string(n) + (namesLost ? ", names lost" : ", names kept"));
      test::PowerCutFileSystem files(n);
      Product run(files);
      run.dlg->InstallUpdate();
      if (!files.CutHappened()) {
        EXPECT_EQ(run.Check(), Product::Files::New);
        RecordProperty(namesLost ? "callsNamesLost" : "callsNamesKept", n - 1);
        break;
      }
      files.Cut(namesLost);
      RemoveLeftoversOfEarlierRuns(SystemFileSystem(), run.product.Dir());
      run.Check();
    }
  }
}

}  // namespace
}  // namespace quon
