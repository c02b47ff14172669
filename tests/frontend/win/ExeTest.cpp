// The program as customers run it: the start-up steps before any window,
// and the real executable (its test build, ExeDriver.h) driven from this
// second process with real input, against the reference server through a
// relay that can hold a reply while the test looks at the wait dialogs.
#include "ExeDriver.h"  // windows.h first

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "app/UiThread.h"
#include "app/UpdateDlg.h"
#include "base/CText.h"
#include "base/FsPath.h"
#include "frontend/win/StartUp_win.h"
#include "resource.h"
#include "support/Links.h"
#include "update/UpdateListFile.h"

using namespace quon;
using namespace quon::win;
using namespace quon::wintest;

namespace {

// ---- start-up ----------------------------------------------------------

// Calls of the injected library-search functions.
std::vector<std::string> g_calls;
BOOL g_setDefaultResult = TRUE;
BOOL g_setDllDirectoryResult = TRUE;

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  g_calls.push_back("SetDefaultDllDirectories " + std::to_string(flags));
  return g_setDefaultResult;
}
BOOL WINAPI FakeSetDllDirectoryW(LPCWSTR path) {
  g_calls.push_back(std::string("SetDllDirectoryW ") + (path && !*path ? "empty" : "other"));
  return g_setDllDirectoryResult;
}

TEST(StartUp, LibrarySearchFallsBackWhereTheDefaultDirectoriesAreMissingOrRefused) {
  const std::string setDefault = "SetDefaultDllDirectories " + std::to_string(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  struct Case {
    const char* what;
    bool hasSetDefault;
    BOOL setDefaultResult, setDllDirectoryResult;
    DllSearch expected;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"the system has it", true, TRUE, TRUE, DllSearch::DefaultDirs, {setDefault}},
      {"Windows 7 without the update", false, TRUE, TRUE, DllSearch::NoCurrentDirectory, {"SetDllDirectoryW empty"}},
      {"the call fails", true, FALSE, TRUE, DllSearch::NoCurrentDirectory, {setDefault, "SetDllDirectoryW empty"}},
      {"both fail", true, FALSE, FALSE, DllSearch::Unchanged, {setDefault, "SetDllDirectoryW empty"}},
  };
  for (const Case& c : cases) {
    g_calls.clear();
    g_setDefaultResult = c.setDefaultResult;
    g_setDllDirectoryResult = c.setDllDirectoryResult;
    EXPECT_EQ(RestrictDllSearch(c.hasSetDefault ? &FakeSetDefaultDllDirectories : nullptr, &FakeSetDllDirectoryW),
              c.expected)
        << c.what;
    EXPECT_EQ(g_calls, c.calls) << c.what;
  }
}

BOOL WINAPI RefusingInitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return FALSE; }

TEST(StartUp, RefusedCommonControlsAreReportedAndEndTheStart) {
  std::string text;
  {
    WhenWindowShows box([] { return VisibleWindow("#32770", "QUON Update"); },
                        [&text](HWND box) {
                          text = GetWindowTextString(GetDlgItem(box, 0xFFFF));
                          PressButton(box, IDOK);
                        });
    EXPECT_FALSE(InitCommonControlsOrReport(&RefusingInitCommonControlsEx));
  }
  EXPECT_EQ(text, kCommonControlsFailed);
  EXPECT_TRUE(InitCommonControlsOrReport());
}

// ---- the real program --------------------------------------------------

// The names in a directory, sorted: temporary files of an installation
// would show among them.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

class RealProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (ReferenceServerPort()) s_relay = std::make_unique<GatedRelay>(ReferenceServerPort());
  }
  static void TearDownTestSuite() { s_relay.reset(); }

  void SetUp() override {
    if (!s_relay) GTEST_SKIP() << "no reference server (build the Linux configuration first)";
    m_dir = ProductDir();
    ASSERT_FALSE(m_dir.empty());
    // An installed 6.0.121.3 (QUON.EXE 6, 0, 3, 0 and Quon.Version) with
    // module 3, whose solver library is a real DLL.
    ASSERT_TRUE(CopyFileA((ExeDir() + "sample\\QUON.EXE").c_str(), (m_dir + "QUON.EXE").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((ExeDir() + "exe-under-test\\CABLIB.DLL").c_str(), (m_dir + "QSolver.dll").c_str(), FALSE));
    std::ofstream(m_dir + "QMesh.dll", std::ios::binary) << "QMesh 6.0.121.3\n";
    const unsigned char version[8] = {6, 0, 0, 0, 121, 0, 3, 0};
    std::ofstream(m_dir + "Quon.Version", std::ios::binary).write(reinterpret_cast<const char*>(version), 8);
    std::ofstream(m_dir + "Quon.Installation") << "KeyID=4711\r\nKeyType=NET\r\nKeyVersion=6.0\r\nModules=3\r\n";
    m_pageUrl = "file:///" + m_dir + "QuonUpdateLast.html";
    for (char& c : m_pageUrl) c = c == '\\' ? '/' : c;
  }
  void TearDown() override {
    if (s_relay) s_relay->Release();
    m_app.reset();
    if (!m_dir.empty()) RemoveTree(m_dir);
  }

  virtual std::string ProductDir() { return MakeTempDir("Quon 6.0 "); }
  bool Start(AppUnderTest::Build build = AppUnderTest::Build::Test, const std::string& arguments = "",
             HANDLE output = nullptr) {
    m_app = std::make_unique<AppUnderTest>();
    m_app->launchDir = m_launchDir;
    return m_app->Start(m_dir, s_relay->Port(), build, arguments, output);
  }
  HWND WaitForMainWindow() {
    return WaitForWindow([this] { return MainWindowOf(m_app->Pid()); }, 60000);
  }
  std::string Page() const { return FileText(m_dir + "QuonUpdateLast.html"); }
  // Follows the page's link ending in `fragment` with the user's input in
  // the browser: a click, or else Enter on the link.
  bool FollowLink(HWND main, const std::string& fragment, bool click) {
    if (Page().find("\"" + fragment + "\"") == std::string::npos) {
      ADD_FAILURE() << "no link " << fragment << " on the page:\n" << Page();
      return false;
    }
    if (!m_app->PointAtLink(m_pageUrl + fragment)) return false;
    HWND browser = GetDlgItem(main, IDC_EXPLORER);
    if (click) {
      ClickOn(browser);
    } else {
      PressKey(browser, VK_RETURN);
    }
    return WaitUntil([this] { return m_app->LinkFollowed(); }, 10000);
  }
  // Starts the program and the download of update 101, whose reply the
  // relay holds after about half of the archive; the progress dialog, or
  // null when a step failed.
  HWND StartHeldDownload(HWND& main) {
    if (!Start()) return nullptr;
    const DWORD pid = m_app->Pid();
    main = WaitForMainWindow();
    if (!main) return nullptr;
    s_relay->HoldNextReply(320000);
    if (!FollowLink(main, "#update101", true)) return nullptr;
    HWND progress = WaitForWindow([pid] { return WaitDialogOf(pid, true); });
    return progress && WaitUntil([] { return s_relay->Holding(); }) ? progress : nullptr;
  }
  // Waits until the program's page holds `text`.
  bool PageShows(const std::string& text) {
    return WaitUntil([&] { return Page().find(text) != std::string::npos; }, 60000);
  }

  static std::unique_ptr<GatedRelay> s_relay;
  std::string m_dir;
  std::wstring m_launchDir;  // the program's folder by another name, when it has one
  std::string m_pageUrl;
  std::unique_ptr<AppUnderTest> m_app;
};
std::unique_ptr<GatedRelay> RealProgram::s_relay;

// The shipped build itself (manifest, stripped) up to where it would reach
// for its server.
TEST_F(RealProgram, OutsideAProductDirectoryItSaysSoAndEnds) {
  ASSERT_TRUE(DeleteFileA((m_dir + "QUON.EXE").c_str()));
  ASSERT_TRUE(Start(AppUnderTest::Build::Shipped));
  std::string text = AnswerMessageBox(m_app->Pid(), IDOK);
  EXPECT_EQ(text, msg::kNotInProductDir);
  EXPECT_EQ(m_app->WaitForExit(), 0);
}

// A box shown while the main window is still hidden has no owner, and so a
// taskbar button of its own.
TEST_F(RealProgram, StartUpBoxesAreNotHiddenWithTheMainWindow) {
  ASSERT_TRUE(DeleteFileA((m_dir + "Quon.Version").c_str()));
  ASSERT_TRUE(Start());
  const DWORD pid = m_app->Pid();
  HWND box = WaitForWindow([pid] { return MessageBoxOf(pid); }, 60000);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << MessageBoxText(box);
  AnswerMessageBox(pid, IDOK);
  EXPECT_EQ(m_app->WaitForExit(), 0);
}

// Start-up under the plain wait dialog, which keys do not end; the list
// page; Escape and Enter in the main window; the quit question.
TEST_F(RealProgram, StartsUnderTheWaitDialogShowsTheListAndAsksBeforeQuitting) {
  s_relay->HoldNextReply(0);
  ASSERT_TRUE(Start());
  const DWORD pid = m_app->Pid();
  HWND wait = WaitForWindow([pid] { return WaitDialogOf(pid, false); }, 60000);
  ASSERT_NE(wait, nullptr);
  ASSERT_TRUE(WaitUntil([] { return s_relay->Holding(); }));
  std::vector<std::string> texts;
  for (HWND item = GetWindow(wait, GW_CHILD); item; item = GetWindow(item, GW_HWNDNEXT)) {
    if (ClassNameOf(item) == "Static") texts.push_back(TextOf(item));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Connecting to Internet.", "This may take a few minutes "}));
  // The main window is still hidden: the wait dialog has a taskbar button.
  EXPECT_TRUE(GetWindowLongA(wait, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  PressKey(wait, VK_ESCAPE);
  PressKey(wait, VK_RETURN);
  Sleep(500);
  EXPECT_TRUE(IsWindowVisible(wait)) << "a key ended the wait";
  EXPECT_EQ(MainWindowOf(pid), nullptr);
  s_relay->Release();

  HWND main = WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(IsWindow(wait));
  EXPECT_NE(Page().find("#update101"), std::string::npos);
  EXPECT_EQ(ItemText(main, IDC_STATUS_LINE), msg::kStatusOneUpdate);

  // Escape does nothing; Enter asks the quit question, and No keeps the
  // window and the page.
  PressKey(main, VK_ESCAPE);
  Sleep(500);
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_EQ(MessageBoxOf(pid), nullptr);
  PressKey(main, VK_RETURN);
  EXPECT_EQ(AnswerMessageBox(pid, IDNO), msg::kQuitIncomplete);
  EXPECT_TRUE(IsWindowVisible(main));
  // The Close button asks the same; Yes ends the program and takes the
  // page file with it.
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(AnswerMessageBox(pid, IDYES), msg::kQuitIncomplete);
  EXPECT_EQ(m_app->WaitForExit(), 0);
  EXPECT_EQ(Listing(m_dir), (std::vector<std::string>{"CABLIB.DLL", "QMesh.dll", "QSolver.dll", "QUON.EXE",
                                                       "Quon.Installation", "Quon.Version", "QuonUpdate.exe"}));
}

// The download under the progress dialog, then an installation that finds
// a file held by another process (a handle that shares nothing): reported,
// and nothing of the update installed (no temporary, no folder of it left);
// once it is free, the retry installs everything. (A loaded DLL is held the
// same way on Windows, whose image sections keep their file's sharing; Wine
// lets it be renamed.)
TEST_F(RealProgram, DownloadsUnderTheProgressDialogAndInstallsOnceHeldFilesAreFree) {
  HWND main = nullptr;
  HWND progress = StartHeldDownload(main);
  ASSERT_NE(progress, nullptr);
  const DWORD pid = m_app->Pid();
  // Ten blocks of 10 000 bytes make a progress step.
  ASSERT_TRUE(WaitUntil([progress] { return ItemText(progress, IDC_WAIT_DETAIL).find(" KB") != std::string::npos; }));
  EXPECT_EQ(ItemText(progress, IDC_WAIT_STATUS), "Downloading file...");
  int done = -1, total = -1;
  EXPECT_EQ(std::sscanf(ItemText(progress, IDC_WAIT_DETAIL).c_str(), "%d KB  of  %d KB", &done, &total), 2)
      << ItemText(progress, IDC_WAIT_DETAIL);
  EXPECT_GE(done, 100);
  EXPECT_LT(done, 320);
  EXPECT_EQ(total, 640);  // 640 000 bytes of help and a few small files
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(progress, IDC_PROGRESS)));
  const LRESULT position = SendMessageA(GetDlgItem(progress, IDC_PROGRESS), PBM_GETPOS, 0, 0);
  EXPECT_EQ(position, done * 100 / total);
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(progress, IDC_WAIT_CANCEL)));
  PressKey(progress, VK_ESCAPE);
  Sleep(500);
  EXPECT_TRUE(IsWindowVisible(progress)) << "Escape ended the download";
  s_relay->Release();
  ASSERT_TRUE(PageShows("#install"));
  EXPECT_FALSE(IsWindow(progress));

  // A target held by this process.
  const std::string solver = FileText(m_dir + "QSolver.dll");
  HANDLE held = CreateFileA((m_dir + "QMesh.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const std::vector<std::string> before = Listing(m_dir);
  ASSERT_TRUE(FollowLink(main, "#install", false));
  EXPECT_EQ(AnswerMessageBox(pid, IDOK), "Failed to update file:\r\nQMesh.dll");
  ASSERT_TRUE(PageShows("Following file(s) were not updated"));
  EXPECT_NE(Page().find("QSolver.dll<BR>QMesh.dll<BR>"), std::string::npos) << Page();
  CloseHandle(held);
  EXPECT_EQ(FileText(m_dir + "QSolver.dll"), solver);
  EXPECT_EQ(FileText(m_dir + "QMesh.dll"), "QMesh 6.0.121.3\n");
  EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x79\0\x03\0", 8));
  EXPECT_EQ(Listing(m_dir), before);

  // The retry, now that nothing holds the files.
  ASSERT_TRUE(FollowLink(main, "#install", true));
  ASSERT_TRUE(PageShows(msg::kUpdatedSuccessfully));
  EXPECT_EQ(FileText(m_dir + "QSolver.dll"), "QSolver 6.0.122.3\n");
  EXPECT_EQ(FileText(m_dir + "QMesh.dll"), "QMesh 6.0.122.3\n");
  EXPECT_EQ(FileText(m_dir + "Materials\\Composites.mlib"), "Composites 6.0.122.3\n");
  EXPECT_EQ(FileText(m_dir + "Help\\Quon.chm").size(), 640000u);
  EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x7a\0\x03\0", 8));
  // Complete: Close asks nothing, and the update's files are gone.
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(m_app->WaitForExit(), 0);
  EXPECT_EQ(MessageBoxOf(pid), nullptr);
  EXPECT_EQ(Listing(m_dir),
            (std::vector<std::string>{"CABLIB.DLL", "Help", "Materials", "QMesh.dll", "QSolver.dll", "QUON.EXE",
                                      "Quon.Installation", "Quon.Version", "QuonUpdate.Backup", "QuonUpdate.exe"}));
}

// Links in the product folder, as junctions and symbolic links are on
// Windows (here Unix links, which Wine shows as reparse points): the
// start-up clean-up neither empties one named like an unpack directory nor
// walks into one, and an entry whose folder is one fails, nothing of it
// written there.
TEST_F(RealProgram, WritesAndDeletesNothingThroughALink) {
  const std::string solver = FileText(m_dir + "QSolver.dll");
  const std::string outside = MakeTempDir("outside ");
  for (const char* name : {"update1.0000", "Quon.chm", "Quon.chm.quonupd", "keep.txt"}) {
    std::ofstream(outside + name, std::ios::binary) << "outside";
  }
  const std::vector<std::string> before = Listing(outside);
  std::ofstream(m_dir + "update7.0000", std::ios::binary) << "left by an earlier run";
  ASSERT_TRUE(test::MakeLink(m_dir + "update7.0000.dir", outside));
  ASSERT_TRUE(test::MakeLink(m_dir + "Help", outside));
  ASSERT_TRUE(Start());
  const DWORD pid = m_app->Pid();
  HWND main = WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(Exists(m_dir + "update7.0000"));
  ASSERT_TRUE(FollowLink(main, "#update101", true));
  ASSERT_TRUE(PageShows("#install"));
  ASSERT_TRUE(FollowLink(main, "#install", true));
  EXPECT_EQ(AnswerMessageBox(pid, IDOK), "Failed to update file:\r\nHelp\\Quon.chm");
  ASSERT_TRUE(PageShows("Following file(s) were not updated"));
  EXPECT_EQ(FileText(m_dir + "QSolver.dll"), solver);  // nothing of the update
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(AnswerMessageBox(pid, IDYES), msg::kQuitIncomplete);
  EXPECT_EQ(m_app->WaitForExit(), 0);
  EXPECT_EQ(Listing(outside), before);
  for (const std::string& name : before) EXPECT_EQ(FileText(outside + name), "outside") << name;
  // The links go before the folders are removed with what is in them.
  EXPECT_TRUE(test::RemoveLink(m_dir + "Help"));
  EXPECT_TRUE(test::RemoveLink(m_dir + "update7.0000.dir"));
  RemoveTree(outside);
}

// The user leaves while a cancelled download's worker still waits on the
// held reply: the program ends within the exit rule's time, with its exit
// code, and no process of it is left.
TEST_F(RealProgram, LeavesInTimeWhileAnAbandonedWorkerIsBlocked) {
  HWND main = nullptr;
  HWND progress = StartHeldDownload(main);
  ASSERT_NE(progress, nullptr);
  const DWORD pid = m_app->Pid();
  ClickOn(GetDlgItem(progress, IDC_WAIT_CANCEL));
  ASSERT_TRUE(WaitUntil([progress] { return !IsWindow(progress); }));
  EXPECT_TRUE(s_relay->Holding());
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(AnswerMessageBox(pid, IDYES), msg::kQuitIncomplete);
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kWorkerExitWait) + std::chrono::seconds(10);
  EXPECT_EQ(m_app->WaitForExit(static_cast<unsigned>(limit.count())), 0);
  EXPECT_FALSE(m_app->Running());
  EXPECT_EQ(WindowsOf(pid), std::vector<HWND>{});
}

// The command-line mode of the same executable: no window, its text on the
// handles it was given (with CR LF), exit codes, and --log honoured also
// where it has no output handle at all, never through a link. A file held
// open by another program keeps the whole update out, and it is offered
// again.
TEST_F(RealProgram, CommandLineListsAndInstallsWithExitCodesAndTheLog) {
  const std::string out = m_dir + "out.txt";
  const std::string log = m_dir + "run.log";
  const std::string outside = MakeTempDir("outside ");
  std::ofstream(outside + "victim.log", std::ios::binary) << "outside";
  ASSERT_TRUE(test::MakeLink(m_dir + "linked.log", outside + "victim.log"));
  std::ofstream(outside + "nowhere.log", std::ios::binary) << "gone";
  ASSERT_TRUE(test::MakeLink(m_dir + "dangling.log", outside + "nowhere.log"));
  ASSERT_TRUE(DeleteFileA((outside + "nowhere.log").c_str()));
  struct Step {
    std::string args;
    bool handles;
    long code;
    std::string printed;
    bool meshHeld = false;
  };
  CreateDirectoryA((m_dir + "logs").c_str(), nullptr);
  const std::string offered =
      "101\tMarch 16, 2026\tQuon 6.0 Service Pack 1\tSolver, mesher and help of build 6.0.122.3.\r\n";
  const Step steps[] = {
      // A log that is not a file on a disk, or a link, is refused before
      // anything is done.
      {"--list --log NUL", true, 2, "cannot open the log file NUL: it is not a regular file"},
      {"--list --log \"" + m_dir + "logs\"", true, 2, "cannot open the log file"},
      {"--list --log \"" + m_dir + "linked.log\"", true, 2, "it is a symbolic link"},
      {"--list --log \"" + m_dir + "dangling.log\"", true, 2, "it is a symbolic link"},
      {"--list", true, 1, offered},
      {"--install 7", true, 2, "Update 7 is not offered for this installation"},
      {"--install 101 --yes", true, 5, "Following file(s) were not updated:", true},
      {"--list", true, 1, offered},
      {"--install 101 --yes --log \"" + log + "\"", false, 0, ""},
      // 101 installed, the catalog now offers 102 (the updater's own files).
      {"--list --quiet", true, 1, ""},
      // Its rollback puts 6.0.121.3 back, once.
      {"--rollback --yes", true, 0, "Rolled back from version 6.0.122.3 to version 6.0.121.3."},
      {"--rollback", true, 2, "There is no installation to roll back."},
      {"--list", true, 1, offered},
  };
  for (const Step& step : steps) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = step.handles ? CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)
                               : nullptr;
    HANDLE held = step.meshHeld ? CreateFileA((m_dir + "QMesh.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                              0, nullptr)
                                : INVALID_HANDLE_VALUE;
    ASSERT_TRUE(Start(AppUnderTest::Build::Test, step.args, file)) << step.args;
    EXPECT_EQ(m_app->WaitForExit(120000), step.code) << step.args;
    if (file) CloseHandle(file);
    if (held != INVALID_HANDLE_VALUE) {
      CloseHandle(held);
      EXPECT_EQ(FileText(m_dir + "QSolver.dll").substr(0, 2), "MZ") << "nothing of the update installed";
      EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x79\0\x03\0", 8));
      EXPECT_FALSE(Exists(m_dir + "Help"));
    }
    const std::string printed = step.handles ? FileText(out) : "";
    EXPECT_NE(printed.find(step.printed), std::string::npos) << step.args << ": " << printed;
    if (step.args == "--list --quiet") {
      EXPECT_EQ(printed, "") << "--quiet prints nothing";
      EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x7a\0\x03\0", 8));
      EXPECT_EQ(FileText(m_dir + "QSolver.dll"), "QSolver 6.0.122.3\n");
      EXPECT_TRUE(Exists(m_dir + "QuonUpdate.Backup"));
    }
  }
  // Rolled back: the version, the solver and no Help folder, as before.
  EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x79\0\x03\0", 8));
  EXPECT_EQ(FileText(m_dir + "QSolver.dll").substr(0, 2), "MZ");
  EXPECT_FALSE(Exists(m_dir + "Help"));
  EXPECT_FALSE(Exists(m_dir + "QuonUpdate.Backup"));
  const std::string logged = FileText(log);
  EXPECT_NE(logged.find(" QUON has been updated successfully.\r\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find(" Exit code 0: done"), std::string::npos) << logged;
  EXPECT_EQ(logged.substr(4, 1) + logged.substr(7, 1) + logged.substr(10, 1), "--T") << logged;
  EXPECT_EQ(FileText(outside + "victim.log"), "outside");
  EXPECT_FALSE(Exists(outside + "nowhere.log"));
  EXPECT_TRUE(test::RemoveLink(m_dir + "linked.log"));
  EXPECT_TRUE(test::RemoveLink(m_dir + "dangling.log"));
  RemoveTree(outside);
}

// The administrator's policy in the registry, read by the shipped build
// (whose own server is out of reach): it redirects, holds and turns off;
// a value that is wrong, or not a string, ends the run naming it.
TEST_F(RealProgram, TheAdministratorsRegistryPolicyRedirectsHoldsAndTurnsOff) {
  const wchar_t* kKey = L"SOFTWARE\\Policies\\Quon\\QuonUpdate";
  const std::string out = m_dir + "out.txt";
  const std::wstring server = L"http://127.0.0.1:" + std::to_wstring(s_relay->Port());
  struct Step {
    std::vector<std::pair<std::wstring, std::wstring>> values;
    std::string args;
    long code;
    std::string printed;
  };
  const Step steps[] = {
      {{{L"Server", server}}, "--version", 0, "Update server in force (the administrator's): http://127.0.0.1:"},
      {{{L"Server", server}}, "--list", 1, "101\tMarch 16, 2026\tQuon 6.0 Service Pack 1"},
      {{{L"Server", server}, {L"Updates", L"off"}}, "--list", 7, "Updates of QUON are managed by your administrator."},
      {{{L"Server", server}, {L"HoldAt", L"6.0.121"}}, "--install 101 --yes", 5,
       "holds this installation at version 6.0.121: the update to version 6.0.122.3 is not installed"},
      {{{L"Server", server}, {L"Updates", L"1"}}, "--list", 7, "QuonUpdate, value Updates: Updates = 1 is neither"},
      {{{L"Server", server}, {L"Rollback", L""}}, "--list", 7, "value Rollback: Rollback ="},
      {{{L"DWORD", L""}}, "--list", 7, "value Updates is not a string (REG_SZ)"},
  };
  for (const Step& step : steps) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, value] : step.values) {
      if (name == L"DWORD") {
        const DWORD zero = 0;
        RegSetValueExW(key, L"Updates", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
      } else {
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
      }
    }
    RegCloseKey(key);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file =
        CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool started = Start(AppUnderTest::Build::Shipped, step.args, file);
    const long code = started ? m_app->WaitForExit(120000) : -1;
    CloseHandle(file);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
    ASSERT_TRUE(started) << step.args;
    EXPECT_EQ(code, step.code) << step.args;
    EXPECT_NE(FileText(out).find(step.printed), std::string::npos) << step.args << ": " << FileText(out);
    EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x79\0\x03\0", 8)) << step.args;
  }
}

// Item 10 of issue 21 on Windows: the end of the session (a logoff, a
// shutdown) reaches the command line like Ctrl+C, through its hidden window:
// the download is cancelled, its archive removed once the transfer has let
// go of it (the reply flows again), nothing installed, 130.
TEST_F(RealProgram, CommandLineEndsCleanlyWhenTheSessionEnds) {
  s_relay->HoldNextReply(320000, true);
  ASSERT_TRUE(Start(AppUnderTest::Build::Test, "--install 101 --yes"));
  ASSERT_TRUE(WaitUntil([] { return s_relay->Holding(); }, 60000));
  const DWORD pid = m_app->Pid();
  HWND watch = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    for (HWND w = FindWindowExA(nullptr, nullptr, "QuonUpdateCommandLine", nullptr); w;
         w = FindWindowExA(nullptr, w, "QuonUpdateCommandLine", nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(w, &owner);
      if (owner == pid) watch = w;
    }
    return watch != nullptr;
  }));
  DWORD_PTR result = 0;
  ASSERT_TRUE(SendMessageTimeoutA(watch, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 10000, &result));
  EXPECT_EQ(result, static_cast<DWORD_PTR>(TRUE));
  s_relay->Release();
  SendMessageTimeoutA(watch, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK, 10000, &result);
  EXPECT_EQ(m_app->WaitForExit(30000), 130);
  EXPECT_EQ(GetFileAttributesA((m_dir + "update101.0000").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(FileText(m_dir + "QMesh.dll"), "QMesh 6.0.121.3\n");
  EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x79\0\x03\0", 8));
}

// An update that brings the updater's own QuonUpdate.exe and CABLIB.DLL:
// the running executable is renamed aside and the new one takes its place,
// the CAB library is no longer loaded once the archive is unpacked, and the
// next start removes the old copy.
TEST_F(RealProgram, UpdatesItsOwnFilesAndTheNextStartRemovesTheOldCopy) {
  if (!std::getenv("QUON_EXE_UNDER_TEST_DIR")) GTEST_SKIP() << "the catalog has no self-update";
  const unsigned char version[8] = {6, 0, 0, 0, 122, 0, 3, 0};  // 6.0.122.3: update 102 applies
  std::ofstream(m_dir + "Quon.Version", std::ios::binary).write(reinterpret_cast<const char*>(version), 8);
  ASSERT_TRUE(Start());
  HWND main = WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  const std::string oldExe = FileText(m_dir + "QuonUpdate.exe");
  ASSERT_TRUE(FollowLink(main, "#update102", true));
  ASSERT_TRUE(PageShows("#install"));
  ASSERT_TRUE(FollowLink(main, "#install", true));
  ASSERT_TRUE(PageShows(msg::kUpdatedSuccessfully));
  const std::string mark = "Self-update 6.0.123.3\n";
  EXPECT_EQ(FileText(m_dir + "QuonUpdate.exe"), oldExe + mark);
  const std::string dll = FileText(m_dir + "CABLIB.DLL");
  EXPECT_EQ(dll.substr(dll.size() >= mark.size() ? dll.size() - mark.size() : 0), mark);
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(m_app->WaitForExit(), 0);

  // The new executable starts, and nothing of the old one is left but its
  // copy in the installation's backup.
  ASSERT_TRUE(Start(AppUnderTest::Build::InPlace));
  main = WaitForMainWindow();
  ASSERT_NE(main, nullptr);
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(m_app->WaitForExit(), 0);
  EXPECT_EQ(Listing(m_dir),
            (std::vector<std::string>{"CABLIB.DLL", "QMesh.dll", "QSolver.dll", "QUON.EXE", "Quon.Installation",
                                      "Quon.Version", "QuonUpdate.Backup", "QuonUpdate.exe"}));
}

// ---- a product folder the ANSI code page cannot spell --------------------

// Cyrillic and CJK under code page 1252, and an emoji, which no ANSI code
// page spells: the program finds its folder through the wide calls and the
// short name the file system keeps for it, and the whole road runs from it.
class UnspelledFolder : public RealProgram {
 protected:
  std::string ProductDir() override {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    m_launchDir = std::wstring(base) + L"Quon \x041F\x0440\x043E\x0434\x0443\x043A\x0442 \x88FD\x54C1 \xD83D\xDE80 " +
                  std::to_wstring(GetTickCount()) + L"\\";
    wchar_t shortName[MAX_PATH];
    if (!CreateDirectoryW(m_launchDir.c_str(), nullptr) || GetShortPathNameW(m_launchDir.c_str(), shortName, MAX_PATH) == 0)
      return std::string();
    // The test's own calls reach the folder by that short name.
    std::string text;
    for (const wchar_t* c = shortName; *c; ++c) text += static_cast<char>(*c < 0x80 ? *c : '?');
    return text.find('?') == std::string::npos ? text : std::string();
  }
};

TEST_F(UnspelledFolder, TheCommandLineListsAndInstallsFromIt) {
  const std::string out = m_dir + "out.txt";
  for (const auto& [args, code] : {std::pair<std::string, long>{"--list", 1}, {"--install 101 --yes", 0}}) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file =
        CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_TRUE(Start(AppUnderTest::Build::Test, args, file)) << args;
    EXPECT_EQ(m_app->WaitForExit(120000), code) << args << ": " << FileText(out);
    CloseHandle(file);
  }
  EXPECT_EQ(FileText(m_dir + "QSolver.dll"), "QSolver 6.0.122.3\n");
  EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x7a\0\x03\0", 8));
}

// ---- product folders named in the ANSI code page ------------------------

// Paths and list entries split at '\' by characters of the ANSI code page:
// in 932 "\x83\x5C" is one character, elsewhere two.
TEST(CodePageText, PathsSplitOnlyAtSeparatorsBetweenCharacters) {
  const bool doubleByte = GetACP() == 932;
  const struct {
    const char* path;
    size_t separator;  // in 932, elsewhere
    size_t otherwise;
  } kCases[] = {
      {"\x83\x5C" "a\\b", 3, 1},
      {"\x95\x5C\\x", 2, 1},
      {"a/\x83\x5C", 1, 1},
      {"\x83\x5C", std::string::npos, 1},
      {"\x83", std::string::npos, std::string::npos},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FindPathSeparator(c.path), doubleByte ? c.separator : c.otherwise) << c.path;
  }
  EXPECT_EQ(EndsWithSeparator("a\\\x83\x5C"), !doubleByte);
  // "ソ.." is a name of its own in 932, a step out of the folder elsewhere.
  EXPECT_EQ(IsContainedRelativePath("\x83\x5C..\\a.dll"), doubleByte);
}

// Runs only where the test runs under a locale of its own (wine-test.sh
// --locale): a product folder whose name uses characters of that code page,
// for 932 with the second byte 0x5C ('\') in each of them.
class CodePage : public RealProgram {
 protected:
  void SetUp() override {
    if (!std::getenv("QUON_TEST_LOCALE")) GTEST_SKIP() << "runs under wine-test.sh --locale";
    RealProgram::SetUp();
  }
  std::string ProductDir() override {
    const UINT codePage = GetACP();
    const char* locale = std::getenv("QUON_TEST_LOCALE");
    const struct {
      const char* locale;
      UINT codePage;
      const wchar_t* name;
    } kFolders[] = {
        {"en_US.CP1252", 1252, L"Quon-\u20AC 6.0"},
        {"pl_PL.CP1250", 1250, L"Quon-\u017C\u0141 6.0"},
        {"ja_JP.SHIFT_JIS", 932, L"Quon-\u8868\u30BD"},
    };
    for (const auto& folder : kFolders) {
      if (std::string(locale) != folder.locale) continue;
      EXPECT_EQ(codePage, folder.codePage) << locale;
      wchar_t temp[MAX_PATH];
      GetTempPathW(MAX_PATH, temp);
      const std::wstring wide = std::wstring(temp) + folder.name + std::to_wstring(GetCurrentProcessId());
      RemoveDirectoryW(wide.c_str());
      if (!CreateDirectoryW(wide.c_str(), nullptr)) return {};
      char narrow[MAX_PATH * 2];
      BOOL lossy = FALSE;
      const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow, sizeof narrow, nullptr, &lossy);
      EXPECT_FALSE(lossy) << "the code page cannot spell the folder's name";
      return n > 0 && !lossy ? std::string(narrow) + "\\" : std::string();
    }
    ADD_FAILURE() << "no folder name for " << locale;
    return {};
  }
};

// Start-up, the download and the installation from that folder: each file
// operation reaches the file the name means.
TEST_F(CodePage, TheWholeRoadRunsFromAProductFolderNamedInTheCodePage) {
  ASSERT_TRUE(Start());
  const DWORD pid = m_app->Pid();
  HWND main = WaitForMainWindow();
  ASSERT_NE(main, nullptr) << AnswerMessageBox(pid, IDOK, 1000);
  ASSERT_TRUE(FollowLink(main, "#update101", true));
  ASSERT_TRUE(PageShows("#install"));
  ASSERT_TRUE(FollowLink(main, "#install", true));
  ASSERT_TRUE(PageShows(msg::kUpdatedSuccessfully));
  EXPECT_EQ(FileText(m_dir + "QMesh.dll"), "QMesh 6.0.122.3\n");
  EXPECT_EQ(FileText(m_dir + "Materials\\Composites.mlib"), "Composites 6.0.122.3\n");
  EXPECT_EQ(FileText(m_dir + "Quon.Version"), std::string("\x06\0\0\0\x7a\0\x03\0", 8));
  ClickOn(GetDlgItem(main, IDC_CLOSE_BUTTON));
  EXPECT_EQ(m_app->WaitForExit(), 0);
  EXPECT_EQ(Listing(m_dir),
            (std::vector<std::string>{"CABLIB.DLL", "Help", "Materials", "QMesh.dll", "QSolver.dll", "QUON.EXE",
                                      "Quon.Installation", "Quon.Version", "QuonUpdate.Backup", "QuonUpdate.exe"}));
}

}  // namespace
