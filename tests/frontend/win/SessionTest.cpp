// The Windows main window with its browser host, and a whole update run
// driven through it against the reference server: list, download under the
// progress dialog, unpacking with CABLIB.DLL, installation into a product
// directory, Quon.Version rewritten, clean-up on quitting.
#include "support/WinTestSupport.h"  // windows.h first

#include <commctrl.h>
#include <gtest/gtest.h>
#include <ole2.h>
#include <shlwapi.h>
#include <urlmon.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "app/UpdateDlg.h"
#include "base/BuildConfig.h"
#include "frontend/win/BrowserHost_win.h"
#include "frontend/win/BrowserUi_win.h"
#include "frontend/win/ComCount_win.h"
#include "frontend/win/MainWindow_win.h"
#include "frontend/win/UserPrompts_win.h"
#include "frontend/win/WaitDialog_win.h"
#include "platform/win/WinInetHttpClient.h"
#include "platform/win/WinPlatform.h"
#include "platform/win/WinWindowSystem.h"
#include "resource.h"

using namespace quon;
using namespace quon::win;
using namespace quon::wintest;

namespace {

class WinEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { InitWindowsUi(true); }
  void TearDown() override { OleUninitialize(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WinEnvironment);

// The Windows platform, but running from the test's product directory.
class ProductDirPlatform : public Platform {
 public:
  explicit ProductDirPlatform(std::string dir) : m_dir(std::move(dir)), m_inner(MakeWinPlatform()) {}
  std::string ModuleFileName() override { return m_dir + "QuonUpdate.exe"; }
  char PathSeparator() const override { return m_inner->PathSeparator(); }
  std::string DirectoryOfPath(const std::string& path) const override { return m_inner->DirectoryOfPath(path); }
  bool QueryProductVersionString(const std::string& path, std::string& version) override {
    return m_inner->QueryProductVersionString(path, version);
  }
  bool LoadCabLibrary(const std::string& dir, DoDecabFn* fn, std::string& error) override {
    return m_inner->LoadCabLibrary(dir, fn, error);
  }
  std::unique_ptr<ProductDirectoryLock> HoldProductDirectory(const std::string& dir,
                                                             const std::function<void()>& whileAlone) override {
    return m_inner->HoldProductDirectory(dir, whileAlone);
  }

 private:
  std::string m_dir;
  std::unique_ptr<Platform> m_inner;
};

// The main window and its logic over the Windows layers, running from
// the product directory `dir` against the server at `port`.
struct Harness {
  Harness(const std::string& dir, uint16_t port)
      : platform(dir),
        dlg(window, prompts, net, platform, windows, [this] { return reinterpret_cast<WindowHandle>(window.Hwnd()); },
            UpdateServerSettings{"127.0.0.1", port, kUpdatePath}) {
    window.SetLogic(&dlg);
  }
  RecordingPrompts prompts;
  WinInetHttpClient http;
  WinWaitDialogHost wait;
  NetEnvironment net{http, prompts, wait};
  ProductDirPlatform platform;
  WinWindowSystem windows;
  WinMainWindow window;
  UpdateDlg dlg;
};

// Runs `step` on the window's own thread from inside its modal loop, again
// and again until it returns true (or the run is given up).
class UiDriver {
 public:
  using Step = std::function<bool()>;
  explicit UiDriver(Step step) : m_step(std::move(step)) {
    s_current = this;
    m_timer = SetTimer(nullptr, 0, 100, &UiDriver::Tick);
  }
  ~UiDriver() {
    KillTimer(nullptr, m_timer);
    s_current = nullptr;
  }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    UiDriver* self = s_current;
    if (!self || self->m_busy || self->m_done) return;
    self->m_busy = true;  // the step may run nested modal loops
    self->m_done = self->m_step();
    self->m_busy = false;
  }
  static UiDriver* s_current;
  Step m_step;
  UINT_PTR m_timer;
  bool m_busy = false;
  bool m_done = false;
};
UiDriver* UiDriver::s_current = nullptr;

// ---- the main window on its own ----------------------------------------

TEST(MainWindow, StartUpFailureEndsBeforeTheWindowShows) {
  std::string dir = MakeTempDir("quon-empty-");
  {
    Harness h(dir, 9);
    EXPECT_EQ(h.window.DoModal(), 2);
    ASSERT_EQ(h.prompts.Messages().size(), 1u);
    EXPECT_NE(h.prompts.Messages()[0].find("must be placed in the QUON directory"), std::string::npos);
  }
  RemoveTree(dir);
}

// The page's URL names the page file whatever the folder is called: no '#'
// of the folder's name reaches the URL unescaped, and the system
// reads the URL back as the same path.
TEST(MainWindow, PageUrlNamesThePageFileWhateverTheFolderIsCalled) {
  for (const char* dir : {"C:\\Quon 6.0\\", "C:\\Quon#update9\\", "C:\\100% Quon\\", "C:\\Quon%23x\\"}) {
    const std::string path = std::string(dir) + "QuonUpdateLast.html";
    const std::string url = PageUrlForBrowser("file://" + path);
    EXPECT_EQ(url.compare(0, 8, "file:///"), 0) << url;
    EXPECT_EQ(url.find_first_of("#?\\"), std::string::npos) << url;
    char back[MAX_PATH];
    DWORD length = MAX_PATH;
    ASSERT_EQ(PathCreateFromUrlA(url.c_str(), back, &length, 0), S_OK) << url;
    EXPECT_EQ(std::string(back), path) << url;
  }
  EXPECT_EQ(PageUrlForBrowser("about:blank"), "about:blank");
}

TEST(MainWindow, SystemMenuIconsAndKeys) {
  WinMainWindow window;  // no logic: the frame alone
  bool checked = false;
  UiDriver driver([&] {
    HWND hwnd = window.Hwnd();
    if (!hwnd) return false;
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    char text[64] = {0};
    GetMenuStringA(menu, IDM_ABOUTBOX, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "&About QuonUpdate...");
    int count = GetMenuItemCount(menu);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_EQ(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
    // Each icon at its own size, from the resource's image of that size.
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0)), window.Icon());
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0)), window.SmallIcon());
    EXPECT_EQ(IconWidth(window.Icon()), GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(IconWidth(window.SmallIcon()), GetSystemMetrics(SM_CXSMICON));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(hwnd, WM_QUERYDRAGICON, 0, 0)), window.Icon());
    EXPECT_NE(window.Icon(), nullptr);
    // Escape does not close the main window.
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindow(hwnd));
    // Painting while minimised draws the icon (no crash, window stays).
    ShowWindow(hwnd, SW_MINIMIZE);
    UpdateWindow(hwnd);
    ShowWindow(hwnd, SW_RESTORE);
    checked = true;
    window.EndDialog(2);
    return true;
  });
  EXPECT_EQ(window.DoModal(), 2);
  EXPECT_TRUE(checked);
}

// What the dialog loop hands the browser host when the user clicks (left
// button released) or presses a key in `window`.
void UserInput(HWND window, UINT message = WM_LBUTTONUP, WPARAM wParam = 0) {
  MSG msg = {};
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wParam;
  msg.time = GetTickCount();
  CallMsgFilterA(&msg, MSGF_DIALOGBOX);
}

struct BrowserHostTest : ::testing::Test {
  void SetUp() override {
    site = CreateWindowA(QUON_BROWSER_SITE_CLASS, "", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(site, nullptr);
    created = host.Create(site, [this](const std::string& url, bool userStarted, bool& cancel) {
      seen.push_back(url);
      started.push_back(userStarted);
      cancel = url.find('#') != std::string::npos;
    });
  }
  void TearDown() override {
    host.Destroy();
    DestroyWindow(site);
  }
  HWND site = nullptr;
  BrowserHost host;
  bool created = false;
  std::vector<std::string> seen;
  std::vector<bool> started;
};

// The browser host reports navigations as the control reports them: both
// address forms reach the handler and a cancelled one goes no further.
TEST_F(BrowserHostTest, BeforeNavigate2ReachesTheHandler) {
  EXPECT_TRUE(host.FireBeforeNavigate("file:///C:/Quon/QuonUpdateLast.html#update12"));
  EXPECT_TRUE(host.FireBeforeNavigate("C:\\Quon\\QuonUpdateLast.html#install"));
  EXPECT_FALSE(host.FireBeforeNavigate("http://example.invalid/page.html"));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], "file:///C:/Quon/QuonUpdateLast.html#update12");
  EXPECT_EQ(seen[1], "C:\\Quon\\QuonUpdateLast.html#install");
  EXPECT_EQ(host.DownloadControlFlags(), 0x80 | 0x100 | 0x200);

  if (!created) GTEST_SKIP() << "the web browser control cannot be created here";
  // The control itself: Navigate2 through its dispatch interface. Its own
  // BeforeNavigate2 is the program's page load, which is no link.
  seen.clear();
  std::string dir = MakeTempDir("quon-page-");
  std::ofstream(dir + "page.html") << "<html><body><a href=\"#update12\">x</a></body></html>";
  std::string url = "file:///" + dir + "page.html#update12";
  for (auto& c : url) c = c == '\\' ? '/' : c;
  EXPECT_EQ(host.Navigate(url), S_OK);
  PumpUntil([&] { return !seen.empty(); }, 2000);
  EXPECT_TRUE(seen.empty()) << seen[0];
  RemoveTree(dir);
}

// A navigation counts as the user's only right after a click or Enter in
// the browser, and only the first one after it.
TEST_F(BrowserHostTest, OnlyAClickOrEnterInTheBrowserStartsANavigation) {
  HWND other = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleA(nullptr),
                             nullptr);
  HWND child = CreateWindowA("STATIC", "", WS_CHILD, 0, 0, 10, 10, site, nullptr, GetModuleHandleA(nullptr),
                             nullptr);
  struct Case {
    const char* what;
    std::function<void()> input;
    bool userStarted;
  };
  const Case cases[] = {
      {"no input", [] {}, false},
      {"click", [&] { UserInput(site); }, true},
      {"click in the control's own window", [&] { UserInput(child); }, true},
      {"Enter", [&] { UserInput(site, WM_KEYDOWN, VK_RETURN); }, true},
      {"Tab", [&] { UserInput(site, WM_KEYDOWN, VK_TAB); }, false},
      {"button pressed, not released", [&] { UserInput(site, WM_LBUTTONDOWN); }, false},
      {"click in another window", [&] { UserInput(other); }, false},
      {"click too long ago", [&] { UserInput(site); Sleep(BrowserHost::kUserInputMs + 200); }, false},
  };
  for (const Case& c : cases) {
    started.clear();
    c.input();
    host.FireBeforeNavigate("file:///C:/Quon/QuonUpdateLast.html#update12");
    host.FireBeforeNavigate("file:///C:/Quon/QuonUpdateLast.html#update12");  // the click is spent
    EXPECT_EQ(started, (std::vector<bool>{c.userStarted, false})) << c.what;
  }
  DestroyWindow(child);
  DestroyWindow(other);
}

// The control asks its site for a security manager: automatic navigation
// and active content are disallowed in every zone, the rest is left to the
// system's defaults.
TEST_F(BrowserHostTest, SecurityManagerDisallowsWhatPagesDoByThemselves) {
  IServiceProvider* services = nullptr;
  ASSERT_EQ(host.ClientSite()->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&services)), S_OK);
  IInternetSecurityManager* security = nullptr;
  ASSERT_EQ(services->QueryService(SID_SInternetSecurityManager, IID_IInternetSecurityManager,
                                   reinterpret_cast<void**>(&security)),
            S_OK);
  void* none = nullptr;
  EXPECT_TRUE(FAILED(services->QueryService(IID_IOleClientSite, IID_IUnknown, &none)));
  EXPECT_EQ(none, nullptr);
  struct Case {
    DWORD action;
    bool disallowed;
  };
  const Case cases[] = {
      {URLACTION_HTML_META_REFRESH, true},       {URLACTION_HTML_SUBFRAME_NAVIGATE, true},
      {URLACTION_HTML_SUBMIT_FORMS, true},       {URLACTION_HTML_SUBMIT_FORMS_TO, true},
      {URLACTION_FEATURE_ZONE_ELEVATION, true},  {URLACTION_SCRIPT_RUN, true},
      {URLACTION_ACTIVEX_RUN, true},             {URLACTION_SHELL_FILE_DOWNLOAD, true},
      {URLACTION_HTML_FONT_DOWNLOAD, false},     {URLACTION_FEATURE_MIME_SNIFFING, false},
  };
  for (const wchar_t* url : {L"file:///C:/Quon/QuonUpdateLast.html", L"http://example.invalid/"}) {
    for (const Case& c : cases) {
      DWORD policy = URLPOLICY_ALLOW;
      HRESULT hr = security->ProcessUrlAction(url, c.action, reinterpret_cast<BYTE*>(&policy), sizeof policy,
                                              nullptr, 0, PUAF_DEFAULT, 0);
      EXPECT_EQ(hr, c.disallowed ? S_FALSE : INET_E_DEFAULT_ACTION) << std::hex << c.action;
      EXPECT_EQ(policy, c.disallowed ? DWORD{URLPOLICY_DISALLOW} : DWORD{URLPOLICY_ALLOW}) << std::hex << c.action;
    }
    DWORD zone = 0;
    EXPECT_EQ(security->MapUrlToZone(url, &zone, 0), INET_E_DEFAULT_ACTION);
  }
  security->Release();
  services->Release();
}

// An exception from the program's handlers stops at the window procedure or
// COM method the system called: the navigation is cancelled, the dialog's
// message counts as not handled, and the process goes on.
TEST_F(BrowserHostTest, ExceptionsStopWhereTheSystemCalledIn) {
  BrowserHost throwing;
  throwing.Create(site, [](const std::string&, bool, bool&) { throw std::runtime_error("handler failed"); });
  EXPECT_TRUE(throwing.FireBeforeNavigate("file:///C:/Quon/QuonUpdateLast.html#update12"));
  throwing.Destroy();

  struct ThrowingDialog : Dialog {
    ThrowingDialog() : Dialog(IDD_ABOUTBOX, nullptr) {}
    bool OnCommand(WORD, WORD, HWND) override { throw std::bad_alloc(); }
    BOOL OnInitDialog() override {
      Dialog::OnInitDialog();
      result = SendMessageA(Hwnd(), WM_COMMAND, MAKEWPARAM(4711, BN_CLICKED), 0);
      EndDialog(IDOK);
      return TRUE;
    }
    LRESULT result = -1;
  } dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(dialog.result, FALSE);
}

// The focus that reaches the site goes on to the control's window.
TEST_F(BrowserHostTest, FocusOnTheSiteGoesToTheControl) {
  HWND control = GetWindow(site, GW_CHILD);
  HWND stand = nullptr;
  if (!control) {  // no control here: a window in its place
    stand = CreateWindowA("STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, site, nullptr, GetModuleHandleA(nullptr),
                          nullptr);
    control = stand;
  }
  // As the window manager gives it (activation goes through the X server,
  // in its own time, under Wine).
  SendMessageA(site, WM_SETFOCUS, 0, 0);
  HWND focus = GetFocus();
  EXPECT_NE(focus, site);
  EXPECT_TRUE(focus == control || IsChild(control, focus)) << focus;
  if (stand) DestroyWindow(stand);
}

// What the host tells the control: no context menu, no 3D border, DPI-aware
// drawing, a drop target that takes nothing, silent; every new window is
// cancelled, and none reaches the link handler.
TEST_F(BrowserHostTest, NoMenuBorderDropOrNewWindowAndSilent) {
  IDocHostUIHandler* ui = nullptr;
  ASSERT_EQ(host.ClientSite()->QueryInterface(kIidDocHostUiHandler, reinterpret_cast<void**>(&ui)), S_OK);
  POINT point = {10, 10};
  EXPECT_EQ(ui->ShowContextMenu(0, &point, nullptr, nullptr), S_OK);
  DOCHOSTUIINFO info = {};
  info.cbSize = sizeof info;
  ASSERT_EQ(ui->GetHostInfo(&info), S_OK);
  const DWORD wanted = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_DPI_AWARE;
  EXPECT_EQ(info.dwFlags & wanted, wanted);
  IDropTarget* drop = nullptr;
  ASSERT_EQ(ui->GetDropTarget(nullptr, &drop), S_OK);
  ASSERT_NE(drop, nullptr);
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_LINK;
  EXPECT_EQ(drop->DragEnter(nullptr, 0, POINTL{1, 1}, &effect), S_OK);
  EXPECT_EQ(effect, DWORD{DROPEFFECT_NONE});
  effect = DROPEFFECT_COPY;
  EXPECT_EQ(drop->Drop(nullptr, 0, POINTL{1, 1}, &effect), S_OK);
  EXPECT_EQ(effect, DWORD{DROPEFFECT_NONE});
  drop->Release();
  ui->Release();

  IDispatch* ambient = nullptr;
  ASSERT_EQ(host.ClientSite()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&ambient)), S_OK);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT silent;
  VariantInit(&silent);
  EXPECT_EQ(ambient->Invoke(-5502, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &silent, nullptr, nullptr), S_OK);
  EXPECT_EQ(silent.vt, VT_BOOL);
  EXPECT_EQ(silent.boolVal, VARIANT_TRUE);
  ambient->Release();

  for (const auto& [event, arguments] : {std::pair<DISPID, UINT>{251, 2}, {273, 5}}) {
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT args[5];
    for (VARIANT& a : args) VariantInit(&a);
    args[arguments - 2].vt = VT_BYREF | VT_BOOL;
    args[arguments - 2].pboolVal = &cancel;
    DISPPARAMS params = {args, nullptr, arguments, 0};
    host.EventSink()->Invoke(event, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    EXPECT_EQ(cancel, VARIANT_TRUE) << event;
  }
  EXPECT_TRUE(seen.empty());
}

// Each COM object of the host goes with its last reference: none while the
// control (here the test) still holds one, and all once it lets go.
TEST(BrowserHostObjects, EachGoesWithItsLastReference) {
  const long before = ComCount::LiveObjects();
  HWND site = CreateWindowA(QUON_BROWSER_SITE_CLASS, "", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(site, nullptr);
  IOleClientSite* held = nullptr;
  {
    BrowserHost host;
    host.Create(site, [](const std::string&, bool, bool&) {});
    held = host.ClientSite();
    held->AddRef();
    host.Destroy();
    EXPECT_GT(ComCount::LiveObjects(), before);
  }
  EXPECT_EQ(ComCount::LiveObjects(), before + 1);
  // Without its host the site still answers.
  IOleWindow* window = nullptr;
  ASSERT_EQ(held->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&window)), S_OK);
  HWND hwnd = site;
  EXPECT_EQ(window->GetWindow(&hwnd), E_FAIL);
  EXPECT_EQ(hwnd, nullptr);
  window->Release();
  EXPECT_EQ(held->Release(), 0u);
  EXPECT_EQ(ComCount::LiveObjects(), before);
  DestroyWindow(site);
}

// ---- the whole road ---------------------------------------------------

class WholeRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_port) GTEST_SKIP() << "no reference server (build the Linux configuration first)";
    m_dir = MakeTempDir("quon-product-");
    // QUON.EXE 6, 0, 3, 0 and Quon.Version 6.0.121.3: installed 6.0.121.3.
    ASSERT_TRUE(CopyFileA((ExeDir() + "sample\\QUON.EXE").c_str(), (m_dir + "QUON.EXE").c_str(), FALSE));
    const unsigned char version[8] = {6, 0, 0, 0, 121, 0, 3, 0};
    std::ofstream(m_dir + "Quon.Version", std::ios::binary).write(reinterpret_cast<const char*>(version), 8);
    std::ofstream(m_dir + "Quon.Installation") << "KeyID=4711\r\nKeyType=NET\r\nKeyVersion=6.0\r\nModules=3\r\n";
  }
  void TearDown() override {
    if (!m_dir.empty()) RemoveTree(m_dir);
  }
  const uint16_t m_port = ReferenceServerPort();
  std::string m_dir;
};

TEST_F(WholeRoad, ListDownloadUnpackInstallAndQuit) {
  Harness h(m_dir, m_port);
  WinMainWindow& window = h.window;
  UpdateDlg& dlg = h.dlg;

  const std::string pageUrl = "file:///" + m_dir + "QuonUpdateLast.html";
  int stage = 0;
  std::string listPage, installPage, resultPage, statusLine;
  size_t updates = 0;
  bool aboutFromMenu = false, aboutFromButton = false;
  bool updateCancelled = false, installCancelled = false, secondUpdateIgnored = false, unasked = false;
  bool ranInCallback = false;
  DWORD started = GetTickCount();
  UiDriver driver([&] {
    HWND hwnd = window.Hwnd();
    if (GetTickCount() - started > 240000) {  // give up rather than hang
      ADD_FAILURE() << "stuck at stage " << stage;
      if (hwnd) window.EndDialog(2);
      return true;
    }
    if (!hwnd || !IsWindowVisible(hwnd)) return false;
    switch (stage) {
      case 0:
        updates = dlg.State().m_updateList.size();
        listPage = FileText(m_dir + "QuonUpdateLast.html");
        statusLine = GetWindowTextString(GetDlgItem(hwnd, IDC_STATUS_LINE));
        // The About box, from the system menu and from its button.
        for (bool fromMenu : {true, false}) {
          WhenWindowShows about([] { return VisibleWindow(nullptr, "About QuonUpdate"); },
                                [](HWND box) { PressButton(box, IDOK); });
          if (fromMenu)
            SendMessageA(hwnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
          else
            SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_ABOUT_BUTTON, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDC_ABOUT_BUTTON)));
          (fromMenu ? aboutFromMenu : aboutFromButton) = about.Seen();
        }
        if (const char* pause = std::getenv("QUON_TEST_PAUSE_MS")) PumpUntil([] { return false; }, std::atoi(pause));
        // The page going to update 101 by itself: refused, nothing runs.
        unasked = window.Browser().FireBeforeNavigate(pageUrl + "#update101") && dlg.State().m_strDownloadFile.empty();
        // A click on update 101, as the control reports it (file URL).
        UserInput(GetDlgItem(hwnd, IDC_EXPLORER));
        updateCancelled = window.Browser().FireBeforeNavigate(pageUrl + "#update101");
        // The download runs after the control's callback has returned.
        ranInCallback = !dlg.State().m_strDownloadFile.empty();
        stage = 1;
        return false;
      case 1:
        if (!dlg.State().m_bInstallPage) return false;
        installPage = FileText(m_dir + "QuonUpdateLast.html");
        // The install page ignores update links ...
        UserInput(GetDlgItem(hwnd, IDC_EXPLORER));
        secondUpdateIgnored = !window.Browser().FireBeforeNavigate(pageUrl + "#update102");
        // ... and acts on the install link (here as a plain path) when the
        // user follows it, not when the page goes there by itself.
        unasked = unasked && window.Browser().FireBeforeNavigate(m_dir + "QuonUpdateLast.html#install") &&
                  !dlg.State().m_bUpdateComplete;
        UserInput(GetDlgItem(hwnd, IDC_EXPLORER), WM_KEYDOWN, VK_RETURN);
        installCancelled = window.Browser().FireBeforeNavigate(m_dir + "QuonUpdateLast.html#install");
        ranInCallback = ranInCallback || dlg.State().m_bUpdateComplete;
        stage = 2;
        return false;
      case 2:
        if (!dlg.State().m_bUpdateComplete) return false;
        resultPage = FileText(m_dir + "QuonUpdateLast.html");
        stage = 3;
        return false;
      default:
        // Close: nothing asked after a complete installation.
        PressButton(hwnd, IDC_CLOSE_BUTTON);
        return true;
    }
  });
  EXPECT_EQ(window.DoModal(), 1);
  WaitForWaitWorkers(std::chrono::seconds(10));

  EXPECT_TRUE(h.prompts.Messages().empty()) << ::testing::PrintToString(h.prompts.Messages());
  EXPECT_EQ(dlg.State().m_strUpdateVersion, "6.0.121.3");
  EXPECT_TRUE(dlg.State().m_bVersionFileUsed);
  EXPECT_EQ(updates, 2u);
  EXPECT_NE(listPage.find("#update101"), std::string::npos);
  EXPECT_FALSE(statusLine.empty());
  EXPECT_TRUE(aboutFromMenu);
  EXPECT_TRUE(aboutFromButton);
  EXPECT_TRUE(unasked) << "an action ran without the user";
  EXPECT_TRUE(updateCancelled);
  EXPECT_FALSE(ranInCallback) << "an operation ran inside BeforeNavigate2";
  EXPECT_EQ(dlg.State().m_strNewVersion, "6.0.122.3");
  EXPECT_NE(installPage.find("#install"), std::string::npos) << installPage;
  EXPECT_TRUE(secondUpdateIgnored);
  EXPECT_TRUE(installCancelled);
  EXPECT_TRUE(dlg.State().m_bUpdateComplete);
  EXPECT_FALSE(resultPage.empty());

  // The update's files are in the product directory, its module file too.
  EXPECT_TRUE(Exists(m_dir + "QSolver.dll"));
  EXPECT_TRUE(Exists(m_dir + "QMesh.dll"));
  EXPECT_TRUE(Exists(m_dir + "Composites.mlib") || Exists(m_dir + "Materials\\Composites.mlib"));
  // Quon.Version holds the new version, word by word.
  std::string version = FileText(m_dir + "Quon.Version");
  ASSERT_EQ(version.size(), 8u);
  const unsigned char expected[8] = {6, 0, 0, 0, 122, 0, 3, 0};
  EXPECT_EQ(version, std::string(reinterpret_cast<const char*>(expected), 8));
  // Cleaned up: archive, unpack directory and page file are gone.
  EXPECT_FALSE(Exists(dlg.State().m_strDownloadFile));
  EXPECT_FALSE(Exists(dlg.State().m_strUnpackDir));
  EXPECT_FALSE(Exists(m_dir + "QuonUpdateLast.html"));
}

}  // namespace
