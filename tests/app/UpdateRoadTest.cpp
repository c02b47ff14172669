// Whole runs against the reference update server and real archives.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ServerRoot.h"

namespace quon::e2e {
namespace {

const char kCannotConnect[] =
    "Error: Can not connect to the Norvanta server.\r\nPlease make sure that the computer has the internet "
    "connection.";

std::string Words(std::initializer_list<uint16_t> words) {
  std::string bytes;
  for (uint16_t w : words) {
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8);
  }
  return bytes;
}

// A port on 127.0.0.1 that nothing listens on.
uint16_t ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

struct Road : ::testing::Test {
  ServerRoot root;
  Session s;

  // A product at 6.0.121.3 whose build number comes from Quon.Version, and
  // the service pack for it with a MAIN part and two module parts.
  void StandardSetup() {
    s.InstallExe(QUON_E2E_EXE_6030);
    s.WriteProduct("Quon.Version", Words({6, 0, 121, 3}) + "tail");
    s.WriteProduct("Quon.Installation", "KeyID=4711\nKeyType=NET\nKeyVersion=6.0\nModules=3\n");
    s.InstallCabLibrary();
    s.WriteProduct("QSolver.dll", "solver 121");
    root.Stage("QSolver.dll", "solver 122");
    root.Stage("Help/Quon.chm", "help 122");
    root.Stage("Materials/Composites.mlib", "composites 122");
    root.Stage("Other/Acoustics.dll", "acoustics 122");
    root.Pack("sp1.cab", {"--name", "Service Pack 1", "--description", "Solver and help", "QSolver.dll",
                          "Help/Quon.chm", "--module", "3", "--name", "Composites", "Materials/Composites.mlib",
                          "--module", "4", "--name", "Acoustics", "Other/Acoustics.dll"});
    root.Offer(101, "Service Pack 1", "sp1.cab", "6.0.121.3", "6.0.122.3");
    root.Offer(102, "Later fix", "sp1.cab", "6.0.122.3", "6.0.122.4");
    root.Offer(103, "Materials", "sp1.cab", "6.0.121.*", "6.0.121.4", "2026-02-02");
  }
  void StartAll() {
    root.StartServer();
    s.Start(root.Port());
  }
};

TEST_F(Road, FromStartToAFinishedUpdate) {
  StandardSetup();
  StartAll();
  ASSERT_FALSE(s.Ended()) << ::testing::PrintToString(s.Boxes());
  EXPECT_TRUE(s.Boxes().empty());
  EXPECT_EQ(s.dlg->State().m_strUpdateVersion, "6.0.121.3");
  EXPECT_TRUE(s.dlg->State().m_bVersionFileUsed);
  // The list page: the two updates for 6.0.121.3, in catalog order.
  EXPECT_EQ(s.Links(), (std::vector<std::string>{"#update101", "#update103"}));
  EXPECT_NE(s.Page().find("Service Pack 1 (March 16, 2026)"), std::string::npos);
  EXPECT_NE(s.Page().find("Materials (February 02, 2026)"), std::string::npos);
  EXPECT_EQ(s.view.statusTexts.back(), "Click on one of the links to start the update.");
  EXPECT_TRUE(s.view.statusVisible);
  EXPECT_EQ(s.wait.Records().size(), 1u);

  // Download and unpack.
  ASSERT_TRUE(s.Click("#update101"));
  EXPECT_TRUE(s.Boxes().empty()) << ::testing::PrintToString(s.Boxes());
  EXPECT_EQ(s.wait.Last().form, WaitForm::Progress);
  EXPECT_TRUE(s.dlg->State().m_bInstallPage);
  EXPECT_EQ(s.dlg->State().m_strDownloadFile, s.Product("update101.0000"));
  EXPECT_EQ(s.dlg->State().m_strUnpackDir, s.Product("update101.0000.dir/"));
  EXPECT_EQ(s.dlg->State().m_strNewVersion, "6.0.122.3");
  EXPECT_TRUE(s.ProductHas("update101.0000.dir/Update.List"));
  EXPECT_FALSE(s.view.statusVisible);
  const std::string installPage = s.Page();
  EXPECT_EQ(s.Links(), std::vector<std::string>{"#install"});
  EXPECT_NE(installPage.find("> QSolver.dll <"), std::string::npos);
  EXPECT_NE(installPage.find("> Help\\Quon.chm <"), std::string::npos);
  EXPECT_NE(installPage.find("Composites"), std::string::npos);
  EXPECT_EQ(installPage.find("Acoustics"), std::string::npos);  // module 4 is not installed

  // Install.
  ASSERT_TRUE(s.Click("#install"));
  EXPECT_TRUE(s.Boxes().empty()) << ::testing::PrintToString(s.Boxes());
  EXPECT_EQ(s.Page(), "QUON has been updated successfully.");
  EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 122");
  EXPECT_EQ(s.ReadProduct("Help/Quon.chm"), "help 122");
  EXPECT_EQ(s.ReadProduct("Materials/Composites.mlib"), "composites 122");
  EXPECT_FALSE(s.ProductHas("Other/Acoustics.dll"));
  EXPECT_EQ(s.ReadProduct("Quon.Version"), Words({6, 0, 122, 3}) + "tail");
  EXPECT_FALSE(s.ProductHas("update101.0000"));
  EXPECT_FALSE(s.ProductHas("update101.0000.dir"));
  EXPECT_TRUE(s.dlg->State().m_bUpdateComplete);

  // Quit without a question.
  s.dlg->OnCloseButton();
  EXPECT_TRUE(s.Boxes().empty());
  EXPECT_EQ(s.view.endResults, std::vector<int>{1});
  EXPECT_FALSE(s.ProductHas("QuonUpdateLast.html"));
  // What is left is the product and the installation's backup.
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(s.ProductDir())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Help", "Materials", "QSolver.dll", "QUON.EXE", "Quon.Installation",
                                            "Quon.Version", "QuonUpdate.Backup", "libcablib.so"}));
}

// Another program that may write the product directory swaps the archive
// for one of its own between the check and the unpacking, whatever the
// umask: the archive and the unpack directory are private to the user,
// and the bytes unpacked are the bytes checked.
TEST_F(Road, TheBytesUnpackedAreTheBytesChecked) {
  StandardSetup();
  root.Stage("QSolver.dll", "solver of another");
  root.Pack("other.cab", {"--name", "Another", "QSolver.dll"});
  StartAll();
  const mode_t umask = ::umask(0);
  struct stat archive {};
  s.platform->checkArchive = [&](const std::string& name) {
    ::stat(s.Product("update101.0000").c_str(), &archive);
    fs::copy_file(root.Dir() + "other.cab", s.Product("swapped.cab"));
    fs::rename(s.Product("swapped.cab"), s.Product("update101.0000"));
    EXPECT_NE(name, s.Product("update101.0000")) << "the check reads the archive by its name";
    return SignatureVerdict{true, SignatureProblem::None, ""};
  };
  ASSERT_TRUE(s.Click("#update101"));
  ::umask(umask);
  EXPECT_EQ(archive.st_mode & 0777, 0600u);
  struct stat unpack {};
  ASSERT_EQ(::stat(s.Product("update101.0000.dir").c_str(), &unpack), 0);
  EXPECT_EQ(unpack.st_mode & 0777, 0700u);
  ASSERT_TRUE(s.Click("#install"));
  EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 122");
  EXPECT_EQ(s.ReadProduct("Help/Quon.chm"), "help 122");
}

TEST_F(Road, MissingExecutableStopsBeforeAnyRequest) {
  root.StartServer();
  s.Start(root.Port());
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{
                           "Error: The QUON Update executable file \"QuonUpdate.exe\" must be placed in the QUON "
                           "directory. If QUON is not installed, please install it from the CD-ROM or original "
                           "installation files."});
  EXPECT_EQ(s.view.endResults, std::vector<int>{2});
  EXPECT_EQ(s.wait.DialogsRun(), 0);
  EXPECT_EQ(root.server.Log().find("GetUpgradeList"), std::string::npos);
}

TEST_F(Road, BadVersionFileStopsBeforeAnyRequest) {
  s.InstallExe(QUON_E2E_EXE_6030);
  s.WriteProduct("Quon.Version", Words({6, 0, 121}) + "x");  // 7 bytes
  root.StartServer();
  s.Start(root.Port());
  EXPECT_EQ(s.Boxes(),
            std::vector<std::string>{"File \"Quon.Version\" is missing or is invalid. Please contact Norvanta."});
  EXPECT_EQ(s.view.endResults, std::vector<int>{2});
  EXPECT_EQ(s.wait.DialogsRun(), 0);
}

TEST_F(Road, ServerDownEndsWithTheConnectionMessage) {
  s.InstallExe(QUON_E2E_EXE_603121);
  s.Start(ClosedPort());
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{kCannotConnect});
  EXPECT_EQ(s.view.endResults, std::vector<int>{2});
  EXPECT_TRUE(s.view.navigations.empty());
}

TEST_F(Road, ArchiveWithdrawnOnTheServerIsReportedAndTheListStays) {
  StandardSetup();
  StartAll();
  root.Remove("sp1.cab");
  const size_t pagesBefore = s.view.navigations.size();
  ASSERT_TRUE(s.Click("#update101"));
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{"The update \"Service Pack 1\" cannot be downloaded at the moment. "
                                                "Please try again later."});
  EXPECT_EQ(s.view.navigations.size(), pagesBefore);
  EXPECT_FALSE(s.dlg->State().m_bInstallPage);
  EXPECT_TRUE(s.dlg->State().m_strDownloadFile.empty());
}

TEST_F(Road, CorruptArchiveIsReportedAndCleanedUpOnQuit) {
  StandardSetup();
  root.Put("broken.cab", "MSCF but not really a cabinet at all, just some bytes");
  root.Offer(104, "Broken", "broken.cab", "6.0.121.3", "6.0.122.3");
  StartAll();
  ASSERT_TRUE(s.Click("#update104"));
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{
                           "Error: The downloaded file is corrupted. Please download the file again."});
  EXPECT_FALSE(s.dlg->State().m_bInstallPage);
  EXPECT_TRUE(s.ProductHas("update104.0000"));
  EXPECT_TRUE(s.ProductHas("update104.0000.dir"));
  // The next attempt removes the first one's files before it makes its own,
  // so that repeated attempts do not pile up.
  ASSERT_TRUE(s.Click("#update104"));
  EXPECT_EQ(s.dlg->State().m_strDownloadFile, s.Product("update104.0000"));
  EXPECT_FALSE(s.ProductHas("update104.0001"));
  EXPECT_FALSE(s.ProductHas("update104.0000.dir1"));
  // Quitting asks (the update is not complete); Yes removes the attempt.
  s.prompts.answers = {kIdYes};
  s.dlg->OnCloseButton();
  EXPECT_EQ(s.Boxes().back(), "QUON Update is not complete. Are you sure that you want to quit?");
  EXPECT_EQ(s.view.endResults, std::vector<int>{1});
  EXPECT_FALSE(s.ProductHas("update104.0000"));
  EXPECT_FALSE(s.ProductHas("update104.0000.dir"));
  EXPECT_FALSE(s.ProductHas("QuonUpdateLast.html"));
}

TEST_F(Road, MissingCabLibraryIsReported) {
  StandardSetup();
  fs::remove(s.Product("libcablib.so"));
  StartAll();
  ASSERT_TRUE(s.Click("#update101"));
  ASSERT_EQ(s.Boxes().size(), 1u);
  EXPECT_EQ(s.Boxes()[0].rfind("Error: Unable to load \"Cablib.dll\"\r\n", 0), 0u) << s.Boxes()[0];
  EXPECT_TRUE(s.ProductHas("update101.0000.dir"));
}

TEST_F(Road, ArchiveWithoutListFileShowsTheBareSentence) {
  StandardSetup();
  root.Stage("loose.dll", "loose");
  root.Gcab("nolist.cab", {"loose.dll"});
  root.Offer(105, "No list", "nolist.cab", "6.0.121.3", "6.0.122.3");
  StartAll();
  ASSERT_TRUE(s.Click("#update105"));
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{s.Product("update105.0000.dir/Update.List") + " was not found."});
  EXPECT_EQ(s.Page(), "List file was not found");
  EXPECT_FALSE(s.dlg->State().m_bInstallPage);
  EXPECT_TRUE(s.Links().empty());
}

TEST_F(Road, ReadOnlyTargetGetsTheRetryLink) {
  StandardSetup();
  fs::permissions(s.Product("QSolver.dll"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  StartAll();
  ASSERT_TRUE(s.Click("#update101"));
  ASSERT_TRUE(s.Click("#install"));
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{"Failed to update file:\r\nQSolver.dll"});
  EXPECT_NE(s.Page().find("Following file(s) were not updated:<BR><BR>QSolver.dll<BR>"), std::string::npos);
  EXPECT_EQ(s.Links(), std::vector<std::string>{"#install"});
  // Nothing of the update is installed while one of its files cannot be.
  EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 121");
  EXPECT_FALSE(s.ProductHas("Help"));
  EXPECT_EQ(s.ReadProduct("Quon.Version"), Words({6, 0, 121, 3}) + "tail");
  EXPECT_TRUE(s.ProductHas("update101.0000.dir"));
  EXPECT_FALSE(s.dlg->State().m_bUpdateComplete);

  // The user makes the file writable and clicks the retry link.
  fs::permissions(s.Product("QSolver.dll"), fs::perms::owner_write, fs::perm_options::add);
  ASSERT_TRUE(s.Click("#install"));
  EXPECT_EQ(s.Boxes().size(), 1u);
  EXPECT_EQ(s.Page(), "QUON has been updated successfully.");
  EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 122");
  EXPECT_EQ(s.ReadProduct("Quon.Version"), Words({6, 0, 122, 3}) + "tail");
  EXPECT_FALSE(s.ProductHas("update101.0000.dir"));
}

TEST_F(Road, HostileListEntriesNeverLeaveTheProductDirectory) {
  StandardSetup();
  root.Stage("Update.List",
             "[MAIN]\r\nNAME=Crafted\r\n../evil.dll\r\n..\\..\\evil.dll\r\n/etc/evil.dll\r\nC:\\evil.dll\r\nok.dll\r\n");
  root.Stage("evil.dll", "evil");
  root.Stage("ok.dll", "ok");
  root.Gcab("crafted.cab", {"Update.List", "evil.dll", "ok.dll"});
  root.Offer(106, "Crafted", "crafted.cab", "6.0.121.3", "6.0.122.3");
  StartAll();
  ASSERT_TRUE(s.Click("#update106"));
  ASSERT_TRUE(s.Click("#install"));
  EXPECT_EQ(s.Boxes(), (std::vector<std::string>{"Failed to update file:\r\n../evil.dll",
                                                 "Failed to update file:\r\n..\\..\\evil.dll",
                                                 "Failed to update file:\r\nC:\\evil.dll"}));
  EXPECT_FALSE(fs::exists(fs::path(s.scratch.Dir()) / "evil.dll"));
  // Nothing of such a list is installed, the harmless entries neither.
  EXPECT_FALSE(s.ProductHas("ok.dll"));
  EXPECT_FALSE(s.ProductHas("etc"));
  EXPECT_EQ(s.ReadProduct("Quon.Version"), Words({6, 0, 121, 3}) + "tail");
}

TEST_F(Road, QuitWhileIncompleteAsksAndNoKeepsTheDownload) {
  StandardSetup();
  StartAll();
  ASSERT_TRUE(s.Click("#update101"));
  s.prompts.answers = {kIdNo};
  s.dlg->OnCloseButton();
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{"QUON Update is not complete. Are you sure that you want to quit?"});
  EXPECT_TRUE(s.view.endResults.empty());
  EXPECT_TRUE(s.ProductHas("update101.0000"));
  EXPECT_TRUE(s.ProductHas("update101.0000.dir/QSolver.dll"));
  EXPECT_TRUE(s.ProductHas("QuonUpdateLast.html"));

  // Enter runs the same question; Yes cleans up and closes.
  s.prompts.answers = {kIdYes};
  s.dlg->OnOK();
  EXPECT_EQ(s.Boxes().size(), 2u);
  EXPECT_EQ(s.view.endResults, std::vector<int>{1});
  EXPECT_FALSE(s.ProductHas("update101.0000"));
  EXPECT_FALSE(s.ProductHas("update101.0000.dir"));
  EXPECT_FALSE(s.ProductHas("QuonUpdateLast.html"));
  EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 121");
}

}  // namespace
}  // namespace quon::e2e
