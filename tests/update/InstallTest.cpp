// Installing an unpacked update: the close request, copying, the version
// file, the results page and the clean-up.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/DisplayText.h"
#include "support/FaultFileSystem.h"
#include "support/SessionFixture.h"
#include "update/Installer.h"
#include "update/Pages.h"

namespace quon {
namespace {

using test::TempDir;
using test::RunState;
using test::SessionFixture;
namespace fs = std::filesystem;

std::string MessagePage(const std::string& body) {
  return "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
         "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; "
         "MARGIN-TOP: 5px\" marginwidth=\"0\" marginheight=\"0\">\n <CENTER>\n<br><br><br><br>\n<font "
         "face=\"Times New Roman, Times, serif\" size=\"2\">\n" + body + "\n</font>\n</CENTER>\n</BODY>\n</HTML>\n";
}

std::string RetryPage(const std::vector<std::string>& failed) {
  std::string body = "Following file(s) were not updated:<BR><BR>";
  for (const std::string& f : failed) body += PageFileEntry(f) + "<BR>";
  body += "<BR><BR><BR>Close all open applications and <a href=\"#install\" > <b> Click here to update the "
          "files</b> </a> <br>";
  return MessagePage(body);
}

// Temporary copies the install leaves behind.
std::vector<std::string> Temporaries(const TempDir& dir) {
  std::vector<std::string> found;
  for (auto& e : fs::recursive_directory_iterator(dir.Dir())) {
    if (e.path().filename().string().find(".quonupd") != std::string::npos) found.push_back(e.path().string());
  }
  return found;
}

struct Install : SessionFixture, ::testing::Test {
  std::unique_ptr<UpdateDlg> dlg = MakeDlg();
  const std::string unpack = "update7.0000.dir";

  Install() {
    RunState(*dlg).m_strProductDir = product.Dir();
    RunState(*dlg).m_strDownloadFile = product.Path("update7.0000");
    RunState(*dlg).m_strUnpackDir = product.Dir() + unpack + std::string(1, platform.separator);
    RunState(*dlg).m_strNewVersion = "8.2.0.11";
    RunState(*dlg).m_bInstallPage = true;
    product.Write("update7.0000", "cabinet");
  }
  // Unpacks files flat and sets the list file.
  void Unpacked(const std::string& list, std::initializer_list<std::pair<const char*, const char*>> files) {
    product.Write(unpack + "/Update.List", list);
    for (const auto& [name, bytes] : files) product.Write(unpack + "/" + name, bytes);
    fs::permissions(product.Path(unpack), fs::perms::owner_all);  // as the run makes it
    RunState(*dlg).m_listFile.ParseText(list);
  }
  std::string Page() { return product.Read("QuonUpdateLast.html"); }
  std::vector<std::string> LeftoverTemporaries() { return Temporaries(product); }
};

TEST_F(Install, CopiesEveryListedFileCreatingDirectories) {
  product.Write("QUON.EXE", "old exe");
  Unpacked("[MAIN]\nQUON.EXE\n/lib/x.dll\n\\bin\\sub\\x.dll\n[M3]\nm3.dll\n[M4]\nm4.dll\n",
           {{"QUON.EXE", "new exe"}, {"x.dll", "x"}, {"m3.dll", "m3"}, {"m4.dll", "m4"}});
  RunState(*dlg).m_moduleList = {3};
  dlg->InstallUpdate();
  EXPECT_TRUE(prompts.Texts().empty());
  EXPECT_EQ(product.Read("QUON.EXE"), "new exe");
  EXPECT_EQ(product.Read("lib/x.dll"), "x");
  EXPECT_EQ(product.Read("bin/sub/x.dll"), "x");
  EXPECT_EQ(product.Read("m3.dll"), "m3");
  EXPECT_FALSE(product.Exists("m4.dll"));
  EXPECT_EQ(Page(), "QUON has been updated successfully.");
  EXPECT_TRUE(RunState(*dlg).m_bUpdateComplete);
  EXPECT_FALSE(product.Exists(unpack));
  EXPECT_FALSE(product.Exists("update7.0000"));
  EXPECT_TRUE(LeftoverTemporaries().empty());
}

TEST(InstallVersionFile, RewrittenOnlyWhenItWasUsedKeepingItsTailAndAFailureIsNoSuccess) {
  const std::string old8("\x06\x00\x00\x00\x79\x00\x03\x00", 8), new8("\x08\x00\x02\x00\x00\x00\x0B\x00", 8);
  const std::string tail = "\xAA\xBB", missing = "<missing>";
  const std::string invalidReply = "Error: Invalid server response.";
  const struct {
    const char* what;
    bool used;
    const char* newVersion;
    std::string before, after;
    bool finished;
    std::vector<std::string> boxes;
    bool readOnly = false;
  } cases[] = {
      {"not used", false, "8.2.0.11", old8 + tail, old8 + tail, true, {}},
      {"not used, not created either", false, "8.2.0.11", missing, missing, true, {}},
      {"not used, so not checked", false, "x.x.x.x", missing, missing, true, {}},
      {"new words, tail kept, blanks trimmed", true, " 8.2.0.11 ", old8 + tail, new8 + tail, true, {}},
      {"vanished meanwhile: created", true, "8.2.0.11", missing, new8, true, {}},
      {"three numbers", true, "8.2", old8, old8, false, {invalidReply}},
      {"no numbers", true, "x.x.x.x", old8, old8, false, {invalidReply}},
      {"dots only", true, "...", old8, old8, false, {invalidReply}},
      {"beyond 16 bits", true, "8.2.0.70000", old8, old8, false, {invalidReply}},
      {"read-only", true, "8.2.0.11", old8, old8, false, {"Failed to update file:\r\nQuon.Version"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SessionFixture run;
    auto dlg = run.MakeDlg();
    RunState(*dlg).m_strProductDir = run.product.Dir();
    RunState(*dlg).m_strNewVersion = c.newVersion;
    RunState(*dlg).m_bVersionFileUsed = c.used;
    RunState(*dlg).m_bInstallPage = true;
    RunState(*dlg).m_strDownloadFile = run.product.Path("update7.0000");
    run.product.Write("update7.0000", "cabinet");
    if (c.before != missing) run.product.Write("Quon.Version", c.before);
    if (c.readOnly) fs::permissions(run.product.Path("Quon.Version"), fs::perms::owner_read | fs::perms::group_read);
    dlg->InstallUpdate();  // no list entries: every file is in place at once
    EXPECT_EQ(run.product.Exists("Quon.Version") ? run.product.Read("Quon.Version") : missing, c.after);
    EXPECT_EQ(run.prompts.Texts(), c.boxes);
    // Not finished: the results page names the version file and offers the
    // retry; the update's files stay for it.
    EXPECT_EQ(run.product.Read("QuonUpdateLast.html"),
              c.finished ? std::string("QUON has been updated successfully.") : RetryPage({"Quon.Version"}));
    EXPECT_EQ(RunState(*dlg).m_bUpdateComplete, c.finished);
    EXPECT_TRUE(RunState(*dlg).m_bInstallPage);
    EXPECT_EQ(run.product.Exists("update7.0000"), !c.finished);
    EXPECT_TRUE(Temporaries(run.product).empty());
    if (c.used && c.after == new8 + tail) {
      EXPECT_EQ(RunState(*dlg).m_strNewVersion, "8.2.0.11");
    }
  }
}

// One file that cannot be replaced (read-only, even for a privileged user)
// keeps the whole installation out: nothing changes, every entry is listed,
// and the retry link installs them all once the file is free.
TEST_F(Install, AReadOnlyTargetKeepsEveryFileOutAndTheRetryLinkInstallsThemAll) {
  const std::string old8("\x06\x00\x00\x00\x79\x00\x03\x00", 8);
  product.Write("a.dll", "old a");
  product.Write("b.dll", "old b");
  product.Write("c.dll", "old c");
  fs::permissions(product.Path("b.dll"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  Unpacked("[MAIN]\na.dll\nb.dll\nc.dll\n", {{"a.dll", "new a"}, {"b.dll", "new b"}, {"c.dll", "new c"}});
  RunState(*dlg).m_bVersionFileUsed = true;
  product.Write("Quon.Version", old8);
  dlg->InstallUpdate();

  EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Failed to update file:\r\nb.dll"});
  for (const char* name : {"a.dll", "b.dll", "c.dll"}) EXPECT_EQ(product.Read(name), "old " + std::string(1, name[0]));
  EXPECT_EQ(Page(), RetryPage({"a.dll", "b.dll", "c.dll"}));
  EXPECT_TRUE(RunState(*dlg).m_bInstallPage);
  EXPECT_FALSE(RunState(*dlg).m_bUpdateComplete);
  EXPECT_EQ(product.Read("Quon.Version"), old8);
  EXPECT_TRUE(product.Exists("update7.0000"));
  EXPECT_TRUE(LeftoverTemporaries().empty());

  // The user fixes the file and clicks the page's link.
  fs::permissions(product.Path("b.dll"), fs::perms::owner_write, fs::perm_options::add);
  bool cancel = false;
  dlg->OnBeforeNavigate2("file://" + product.Dir() + "QuonUpdateLast.html#install", true, cancel);
  EXPECT_TRUE(cancel);
  view.RunPosted();
  for (const char* name : {"a.dll", "b.dll", "c.dll"}) EXPECT_EQ(product.Read(name), "new " + std::string(1, name[0]));
  EXPECT_EQ(Page(), "QUON has been updated successfully.");
  EXPECT_EQ(product.Read("Quon.Version"), std::string("\x08\x00\x02\x00\x00\x00\x0B\x00", 8));
}

// A directory that takes no new file (another user's, a locked-down
// install): writable targets are rewritten in place, the version file too,
// their old bytes kept for an undo; a read-only target or a new file there
// keeps the installation out, and nothing is left beside them.
TEST_F(Install, DirectoryRefusingNewFilesGetsWritableTargetsRewrittenInPlace) {
  test::FaultyFileSystem refusing;
  refusing.inject = [](const std::string& call, const std::string& name) {
    return call == "CreateFile" && name.find(".quonupd") != std::string::npos ? FsError::Refused : FsError::None;
  };
  platform.files = &refusing;
  product.Write("x.dll", "old bytes, longer than the new ones");
  product.Write("QuonUpdateLast.html", "the install page");
  product.Write("ro.dll", "old");
  fs::permissions(product.Path("ro.dll"), fs::perms::owner_read);
  Unpacked("[MAIN]\nx.dll\nro.dll\nnew.dll\n", {{"x.dll", "new bytes"}, {"ro.dll", "new"}, {"new.dll", "new"}});
  RunState(*dlg).m_bVersionFileUsed = true;
  product.Write("Quon.Version", std::string(8, '\x01') + "tail");
  dlg->InstallUpdate();
  EXPECT_EQ(product.Read("x.dll"), "old bytes, longer than the new ones");
  EXPECT_EQ(product.Read("ro.dll"), "old");
  EXPECT_FALSE(product.Exists("new.dll"));
  EXPECT_EQ(Page(), RetryPage({"x.dll", "ro.dll", "new.dll"}));
  EXPECT_TRUE(LeftoverTemporaries().empty());
  // Once the failing files are out of the way, the rest goes in place.
  fs::permissions(product.Path("ro.dll"), fs::perms::owner_write, fs::perm_options::add);
  fs::remove(product.Path("ro.dll"));
  RunState(*dlg).m_listFile.ParseText("[MAIN]\nx.dll\n");
  dlg->InstallUpdate();
  EXPECT_EQ(product.Read("x.dll"), "new bytes");
  EXPECT_EQ(product.Read("Quon.Version"), std::string("\x08\x00\x02\x00\x00\x00\x0B\x00", 8) + "tail");
  EXPECT_TRUE(RunState(*dlg).m_bUpdateComplete);
}

TEST_F(Install, TargetThatIsADirectoryFailsAndStaysIntact) {
  product.Write("plugins/keep.txt", "keep");
  Unpacked("[MAIN]\nplugins\nok.dll\n", {{"plugins", "file"}, {"ok.dll", "ok"}});
  dlg->InstallUpdate();
  EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Failed to update file:\r\nplugins"});
  EXPECT_EQ(product.Read("plugins/keep.txt"), "keep");
  EXPECT_FALSE(product.Exists("ok.dll"));
  EXPECT_EQ(Page(), RetryPage({"plugins", "ok.dll"}));
}

std::vector<std::string> FailureBoxes(const std::vector<std::string>& failed) {
  std::vector<std::string> boxes;
  for (size_t i = 0; i < failed.size() && i < kFailureBoxes; ++i)
    boxes.push_back("Failed to update file:\r\n" + ShortenPath(failed[i]));
  return boxes;
}

TEST_F(Install, EntriesLeavingTheProductDirectoryAreNeverCopied) {
  std::string deep;  // 32,000 separators, far beyond the entry bound
  for (int i = 0; i < 32000; ++i) deep += "a/";
  deep += "x.dll";
  Unpacked("[MAIN]\n../evil.dll\nlib/../../evil.dll\nC:\\evil.dll\nx.dll:stream\nlib\\..\\x.dll\n" + deep +
               "\nok.dll\n",
           {{"evil.dll", "evil"}, {"x.dll", "x"}, {"ok.dll", "ok"}});
  dlg->InstallUpdate();
  const std::vector<std::string> hostile = {"../evil.dll",  "lib/../../evil.dll", "C:\\evil.dll",
                                            "x.dll:stream", "lib\\..\\x.dll",     deep};
  EXPECT_EQ(prompts.Texts(), FailureBoxes(hostile));
  EXPECT_FALSE(fs::exists(fs::path(product.Dir()).parent_path().parent_path() / "evil.dll"));
  EXPECT_FALSE(product.Exists("evil.dll"));
  EXPECT_FALSE(product.Exists("x.dll"));
  EXPECT_FALSE(product.Exists("a"));
  EXPECT_FALSE(product.Exists("ok.dll"));
  std::vector<std::string> listed = hostile;
  listed.push_back("ok.dll");
  EXPECT_EQ(Page(), RetryPage(listed));
}

TEST_F(Install, EntriesFindTheirFilesTheWayWindowsDoes) {
  using namespace std::string_literals;
  product.Write("QUON.EXE", "old exe");
  product.Write("bin/old.dll", "old");
  Unpacked("[MAIN]\n\\\\lib\\x.dll\n//top.dll\ny.dll\nBin\\x.dll\nquon.exe\nQuon.Exe\nbrandnew.dll\0x\n"s,
           {{"x.dll", "x"}, {"top.dll", "top"}, {"Y.DLL", "y"}, {"QUON.EXE", "new exe"}, {"brandnew.dll", "new"}});
  dlg->InstallUpdate();
  EXPECT_TRUE(prompts.Texts().empty());
  EXPECT_EQ(Page(), "QUON has been updated successfully.");
  EXPECT_EQ(product.Read("lib/x.dll"), "x");
  EXPECT_EQ(product.Read("top.dll"), "top");
  EXPECT_EQ(product.Read("y.dll"), "y");
  EXPECT_EQ(product.Read("bin/x.dll"), "x");
  EXPECT_EQ(product.Read("QUON.EXE"), "new exe");
  EXPECT_EQ(product.Read("brandnew.dll"), "new");
  // Existing names were used, whatever their case: no second bin or QUON.EXE.
  const auto count = [](const fs::path& dir) { return std::distance(fs::directory_iterator(dir), {}); };
  EXPECT_EQ(count(product.Dir()), 8);  // the six names above, the page file and the backup
  EXPECT_EQ(count(product.Path("bin")), 2);
  EXPECT_TRUE(LeftoverTemporaries().empty());
}

// Item 1 of issue 21.
TEST_F(Install, AnEntryOfKilobytesIsToldByItsStartAndEnd) {
  std::string deep;
  while (deep.size() < 63999) deep += "a/";
  Unpacked("[MAIN]\n" + deep + "x\n", {{"x", "x"}});
  dlg->InstallUpdate();
  ASSERT_EQ(prompts.Texts().size(), 1u);
  EXPECT_EQ(prompts.Texts()[0],
            "Failed to update file:\r\n" + deep.substr(0, 79) + "..." + deep.substr(deep.size() - 77) + "x");
}

// Item 2 of issue 21: the results page is bounded too.
TEST_F(Install, TheResultsPageListsTheFirstFailuresAndCountsTheRest) {
  std::string list = "[MAIN]\n";
  for (int i = 0; i < 1200; ++i) list += "gone" + std::to_string(i) + ".dll\n";
  Unpacked(list, {});
  dlg->InstallUpdate();
  const std::string page = Page();
  EXPECT_NE(page.find("gone499.dll<BR>and 700 more files<BR><BR>"), std::string::npos);
  EXPECT_EQ(page.find("gone500.dll"), std::string::npos);
}

TEST_F(Install, MissingUnpackedFilesAreListedAndToldOnlyForTheFirstFew) {
  std::vector<std::string> missing = {"gone.dll", ""};  // "\\" leaves an empty path
  std::string list = "[MAIN]\n  gone.dll \t\nok.dll\n\\\\\n";
  for (size_t i = missing.size(); i <= kFailureBoxes; ++i) {
    missing.push_back("dir" + std::to_string(i) + "/gone.dll");
    list += missing.back() + "\n";
  }
  Unpacked(list, {{"ok.dll", "ok"}});
  dlg->InstallUpdate();
  EXPECT_EQ(prompts.Texts(), FailureBoxes(missing));
  std::vector<std::string> listed = missing;
  listed.insert(listed.begin() + 1, "ok.dll");
  EXPECT_EQ(Page(), RetryPage(listed));
  EXPECT_FALSE(product.Exists("ok.dll"));
  EXPECT_FALSE(product.Exists("dir2"));  // nothing is created for a missing file
}

TEST_F(Install, RunningProductWindowsAreAskedToCloseOnce) {
  windows.windows = {{42, "QUONUPDATE_MAIN"}, {7, "QuonMainFrame"}, {8, "graflux32"},
                     {9, "Notepad"},           {10, "QUO"},           {11, "drafonView"}};
  windows.failuresBeforeSuccess[8] = 3;
  Unpacked("[MAIN]\n", {});
  prompts.onBox = [this](const std::string&) { view.events.push_back("box"); };
  dlg->InstallUpdate();
  EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Please close all QUON and Graflux applications."});
  // Our own window (42) is spared; the failed post is retried.
  EXPECT_EQ(windows.posts, (std::vector<WindowHandle>{7, 8, 8, 8, 8, 11}));
  EXPECT_EQ(view.events, (std::vector<std::string>{"box", "wait-on", "sleep 5000", "wait-off"}));
  EXPECT_TRUE(RunState(*dlg).m_bUpdateComplete);
}

TEST_F(Install, NoProductWindowMeansNoQuestionAndNoWait) {
  windows.windows = {{9, "Notepad"}, {10, "QUO"}, {12, "GRAFLU"}};
  Unpacked("[MAIN]\n", {});
  dlg->InstallUpdate();
  EXPECT_TRUE(prompts.Texts().empty());
  EXPECT_TRUE(view.events.empty());
  EXPECT_TRUE(windows.posts.empty());
}

TEST(ProductWindowClasses, PrefixesIgnoreCaseAndNeedTheirFullLength) {
  for (const char* name : {"QUON", "quonframe", "Graflux", "GRAFLUX99", "drafon", "DrafonX"}) {
    EXPECT_TRUE(IsProductWindowClass(name)) << name;
  }
  for (const char* name : {"", "QUO", "GRAFLU", "DRAFO", "XQUON", "Notepad", " QUON"}) {
    EXPECT_FALSE(IsProductWindowClass(name)) << name;
  }
}

TEST(ProductWindowClasses, PostsStopAfterTenAttempts) {
  test::FakeWindows windows;
  windows.windows = {{5, "QUON"}, {6, "QUON"}};
  windows.failuresBeforeSuccess[5] = 100;
  RequestProductWindowsClose(windows, 0);
  EXPECT_EQ(std::count(windows.posts.begin(), windows.posts.end(), WindowHandle{5}), 10);
  EXPECT_EQ(std::count(windows.posts.begin(), windows.posts.end(), WindowHandle{6}), 1);
  EXPECT_EQ(CountProductWindows(windows), 2);
}

}  // namespace
}  // namespace quon
