// Finding the installed product and its version, up to the first request.
#include <gtest/gtest.h>

#include "support/SessionFixture.h"
#include "update/ProductDiscovery.h"

namespace quon {
namespace {

using test::RunState;
using test::SessionFixture;

TEST(ProductVersionText, PiecesBetweenDotsOrCommas) {
  const struct {
    const char* text;
    std::vector<int> abcd;
  } cases[] = {
      // Commas, blanks and dots read alike.
      {"6, 0, 3, 121", {6, 0, 3, 121}},
      {"6,0,3,121", {6, 0, 3, 121}},
      {"6. 0. 3. 121", {6, 0, 3, 121}},
      {"6.0.3.121", {6, 0, 3, 121}},
      // A zero third number takes the fourth.
      {"6, 0, 0, 2", {6, 0, 2, 0}},
      {"6, 0, 3, 0", {6, 0, 3, 0}},
      // Missing dots and junk read as zeros; without dots every search
      // fails and the last piece is the whole text.
      {"", {0, 0, 0, 0}},
      {"7", {0, 0, 7, 0}},
      {"6.x.3b.121 beta", {6, 0, 3, 121}},
      // Numbers beyond 16 bits pass through.
      {"6, 0, 70000, 1", {6, 0, 70000, 1}},
  };
  for (const auto& c : cases) {
    const ProductVersion v = ParseProductVersionText(c.text);
    EXPECT_EQ((std::vector<int>{v.a, v.b, v.c, v.d}), c.abcd) << c.text;
  }
}

TEST(ProductDirectory, EndsAtTheLastSeparator) {
  EXPECT_EQ(DirectoryPartOf("/opt/quon/QuonUpdate", "/"), "/opt/quon/");
  EXPECT_EQ(DirectoryPartOf("C:\\Quon 6\\QuonUpdate.exe", "\\"), "C:\\Quon 6\\");
  EXPECT_EQ(DirectoryPartOf("QuonUpdate", "/"), "");
}

struct DiscoveryRun : SessionFixture, ::testing::Test {
  // Runs the start-up; the unreachable server stops it after discovery.
  std::unique_ptr<UpdateDlg> Start() {
    auto dlg = MakeDlg();
    dlg->OnInitDialog();
    return dlg;
  }
};

TEST_F(DiscoveryRun, VersionFromResourceAloneDoesNotNeedTheVersionFile) {
  SetProductVersion("6, 0, 3, 121");
  auto dlg = Start();
  EXPECT_EQ(RunState(*dlg).m_strProductDir, product.Dir());
  EXPECT_EQ(RunState(*dlg).m_strUpdateVersion, "6.0.121.3");
  EXPECT_FALSE(RunState(*dlg).m_bVersionFileUsed);
  // Discovery passed: the failure is the connection's.
  ASSERT_EQ(prompts.Texts().size(), 1u);
  EXPECT_EQ(prompts.Texts()[0],
            "Error: Can not connect to the Norvanta server.\r\nPlease make sure that the computer has the "
            "internet connection.");
  EXPECT_EQ(view.endResults, std::vector<int>{2});
}

TEST_F(DiscoveryRun, BuildNumberComesFromBytesFourAndFiveOfTheVersionFile) {
  SetProductVersion("6, 0, 0, 121");
  WriteVersionFile({6, 0, 0, 0, 125, 0, 1, 0, 0xEE, 0xEE});  // 10 bytes: the last two do not count
  auto dlg = Start();
  EXPECT_EQ(RunState(*dlg).m_strUpdateVersion, "6.0.125.121");
  EXPECT_TRUE(RunState(*dlg).m_bVersionFileUsed);
}

TEST_F(DiscoveryRun, MovedFourthNumberStandsFourth) {
  SetProductVersion("6, 0, 0, 2");
  WriteVersionFile({6, 0, 0, 0, 121, 0, 0, 0});
  EXPECT_EQ(Start()->State().m_strUpdateVersion, "6.0.121.2");
}

TEST_F(DiscoveryRun, MissingOrUnknownExecutableEndsWithThePlacementMessage) {
  // No QUON.EXE beside the updater; or the platform could not give the
  // executable's path, and a QUON.EXE found by its bare name would be
  // whatever lies in the current directory.
  for (bool knownPath : {true, false}) {
    SessionFixture run;
    if (!knownPath) {
      run.platform.modulePath.clear();
      run.platform.versions["QUON.EXE"] = "6, 0, 3, 121";
    }
    run.MakeDlg()->OnInitDialog();
    EXPECT_EQ(run.prompts.Texts(),
              std::vector<std::string>{"Error: The QUON Update executable file \"QuonUpdate.exe\" must be placed "
                                       "in the QUON directory. If QUON is not installed, please install it from "
                                       "the CD-ROM or original installation files."});
    EXPECT_EQ(run.view.endResults, std::vector<int>{2});
    EXPECT_TRUE(run.view.navigations.empty());
  }
}

TEST_F(DiscoveryRun, BadVersionFilesEndWithTheVersionFileMessage) {
  const std::string message = "File \"Quon.Version\" is missing or is invalid. Please contact Norvanta.";
  struct Case {
    const char* name;
    std::string bytes;
    bool present;
  } cases[] = {
      {"missing", "", false},
      {"seven bytes", std::string("\x06\x00\x00\x00\x79\x00\x01", 7), true},
      {"zero build", std::string("\x06\x00\x03\x00\x00\x00\x01\x00", 8), true},
  };
  for (const Case& c : cases) {
    SessionFixture run;
    run.SetProductVersion("6, 0, 3, 0");
    if (c.present) run.product.Write("Quon.Version", c.bytes);
    auto dlg = run.MakeDlg();
    dlg->OnInitDialog();
    EXPECT_EQ(run.prompts.Texts(), std::vector<std::string>{message}) << c.name;
    EXPECT_EQ(run.view.endResults, std::vector<int>{2}) << c.name;
  }
}

TEST_F(DiscoveryRun, MissingVersionStringNeedsTheVersionFile) {
  SetProductVersion("");
  WriteVersionFile({0, 0, 0, 0, 7, 0, 0, 0});
  EXPECT_EQ(Start()->State().m_strUpdateVersion, "0.0.7.0");
}

TEST(StartUp, LeftoversOfEarlierRunsGoUnlessAnotherCopyIsRunning) {
  for (bool otherCopy : {false, true}) {
    SessionFixture run;
    run.SetProductVersion("6, 0, 3, 121");
    run.platform.otherCopyRunning = otherCopy;
    run.product.Write("update7.0000", "archive");
    run.product.Write("update7.0000.dir/a.dll", "a");
    run.product.Write("lib/x.dll.quonupd", "half");
    run.product.Write("QuonUpdate.exe.quonold2", "replaced updater");
    run.product.Write("QUON.EXE.quonold", "not ours");
    run.MakeDlg()->OnInitDialog();
    for (const char* path : {"update7.0000", "update7.0000.dir", "lib/x.dll.quonupd", "QuonUpdate.exe.quonold2"}) {
      EXPECT_EQ(run.product.Exists(path), otherCopy) << path;
    }
    EXPECT_TRUE(run.product.Exists("QUON.EXE.quonold"));
  }
}

TEST_F(DiscoveryRun, IdentityAndModulesComeFromTheInstallationFile) {
  SetProductVersion("6, 0, 3, 121");
  product.Write("Quon.Installation", "KeyID=4711\nKeyType=NET\nKeyVersion=6.0\nModules=3, 5\n");
  auto dlg = Start();
  EXPECT_EQ(RunState(*dlg).m_identity.id, 4711u);
  EXPECT_EQ(RunState(*dlg).m_identity.type, "NET");
  EXPECT_EQ(RunState(*dlg).m_identity.version, "6.0");
  EXPECT_EQ(RunState(*dlg).m_moduleList, (std::vector<int32_t>{3, 5}));
}

}  // namespace
}  // namespace quon
