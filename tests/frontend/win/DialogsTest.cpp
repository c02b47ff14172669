// The dialog templates as the dialog manager builds them, the picture and
// string resources, and the wait dialog's three ways of ending.
#include "support/WinTestSupport.h"  // windows.h first

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "frontend/win/BrowserHost_win.h"
#include "frontend/win/UserPrompts_win.h"
#include "frontend/win/WaitDialog_win.h"
#include "platform/win/WinPlatform.h"
#include "resource.h"

using namespace quon;
using namespace quon::win;
using namespace quon::wintest;

namespace {

class WinEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { InitWindowsUi(false); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WinEnvironment);

INT_PTR CALLBACK PassiveProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

struct ExpectedItem {
  int id;  // -1: no id (IDC_STATIC)
  const char* className;
  int x, y, cx, cy;
  const char* text;
  bool visible;
  DWORD styleBits;     // must all be set
  DWORD styleAbsent;   // must all be clear
  bool checkSize = true;
};

struct ExpectedDialog {
  UINT id;
  const char* caption;
  int cx, cy;
  DWORD styleBits;
  DWORD styleAbsent;
  std::vector<ExpectedItem> items;
};

// The styles of a DIALOG (not DIALOGEX) template's items, as stored.
std::vector<DWORD> TemplateItemStyles(UINT id) {
  std::vector<DWORD> styles;
  HRSRC res = FindResourceA(ResourceInstance(), MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));
  if (!res) return styles;
  const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(ResourceInstance(), res)));
  const BYTE* p = base;
  auto word = [&]() { WORD w = *reinterpret_cast<const WORD*>(p); p += 2; return w; };
  auto skipSzOrOrd = [&]() {
    WORD first = word();
    if (first == 0xFFFF) { word(); return; }
    while (first != 0) first = word();
  };
  DWORD style = *reinterpret_cast<const DWORD*>(p);
  p += 8;
  WORD count = word();
  p += 8;
  skipSzOrOrd();  // menu
  skipSzOrOrd();  // class
  skipSzOrOrd();  // title
  if (style & DS_SETFONT) {
    word();
    skipSzOrOrd();
  }
  for (WORD i = 0; i < count; ++i) {
    p = base + ((p - base + 3) & ~3);
    styles.push_back(*reinterpret_cast<const DWORD*>(p));
    p += 8 + 8 + 2;
    skipSzOrOrd();  // class
    skipSzOrOrd();  // title
    WORD extra = word();
    p += extra;
  }
  return styles;
}

// Creates the dialog modeless and compares it, item by item in template
// order, with what it must be.
void CheckTemplate(const ExpectedDialog& expected) {
  SCOPED_TRACE("template " + std::to_string(expected.id));
  HWND dlg = CreateDialogParamA(ResourceInstance(), MAKEINTRESOURCEA(expected.id), nullptr, PassiveProc, 0);
  ASSERT_NE(dlg, nullptr) << "error " << GetLastError();

  EXPECT_EQ(GetWindowTextString(dlg), expected.caption);
  LONG style = GetWindowLongA(dlg, GWL_STYLE);
  EXPECT_EQ(style & expected.styleBits, static_cast<LONG>(expected.styleBits)) << std::hex << style;
  EXPECT_EQ(style & expected.styleAbsent, 0) << std::hex << style;

  RECT client;
  GetClientRect(dlg, &client);
  RECT size = DialogUnitsToPixels(dlg, 0, 0, expected.cx, expected.cy);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);

  HFONT font = reinterpret_cast<HFONT>(SendMessageA(dlg, WM_GETFONT, 0, 0));
  ASSERT_NE(font, nullptr);
  LOGFONTA lf = {};
  GetObjectA(font, sizeof lf, &lf);
  EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
  // 8 points at the display's resolution.
  HDC dc = GetDC(dlg);
  EXPECT_EQ(-lf.lfHeight, MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72));
  ReleaseDC(dlg, dc);

  size_t index = 0;
  for (HWND child = GetWindow(dlg, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT), ++index) {
    ASSERT_LT(index, expected.items.size()) << "extra control " << ClassNameOf(child);
    const ExpectedItem& item = expected.items[index];
    SCOPED_TRACE("item " + std::to_string(index) + " id " + std::to_string(item.id));
    EXPECT_EQ(static_cast<int>(static_cast<short>(GetDlgCtrlID(child))), item.id);
    EXPECT_STRCASEEQ(ClassNameOf(child).c_str(), item.className);
    if (item.text) {
      EXPECT_EQ(GetWindowTextString(child), item.text);
    }
    LONG childStyle = GetWindowLongA(child, GWL_STYLE);
    EXPECT_EQ((childStyle & WS_VISIBLE) != 0, item.visible);
    LONG wantBits = item.styleBits;
    if ((wantBits & WS_BORDER) && !(childStyle & WS_BORDER)) {
      // Some controls draw the border themselves and drop the style: it
      // must then be in the template.
      std::vector<DWORD> styles = TemplateItemStyles(expected.id);
      ASSERT_LT(index, styles.size());
      EXPECT_NE(styles[index] & WS_BORDER, 0u);
      wantBits &= ~WS_BORDER;
    }
    EXPECT_EQ(childStyle & wantBits, wantBits) << std::hex << childStyle;
    EXPECT_EQ(childStyle & item.styleAbsent, 0) << std::hex << childStyle;
    RECT want = DialogUnitsToPixels(dlg, item.x, item.y, item.cx, item.cy);
    RECT got = ChildRect(child);
    EXPECT_EQ(got.left, want.left);
    EXPECT_EQ(got.top, want.top);
    if (item.checkSize) {
      EXPECT_EQ(got.right, want.right);
      EXPECT_EQ(got.bottom, want.bottom);
    }
  }
  EXPECT_EQ(index, expected.items.size());
  DestroyWindow(dlg);
}

constexpr DWORD kAnimStyles = ACS_CENTER | ACS_TRANSPARENT | ACS_AUTOPLAY;

TEST(Templates, MainWindow129) {
  CheckTemplate({IDD_QUONUPDATE_DIALOG,
                 "QUON Update",
                 363,
                 266,
                 WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME,
                 WS_MAXIMIZEBOX | WS_THICKFRAME,
                 {
                     {IDC_EXPLORER, QUON_BROWSER_SITE_CLASS, 7, 7, 349, 239, nullptr, true, WS_CHILD, 0},
                     {IDC_STATUS_LINE, "Static", 8, 252, 147, 8, "Click on one of the links to start the update.",
                      false, 0, 0},
                     {IDC_ABOUT_BUTTON, "Button", 214, 249, 50, 14, "About...", true, 0, BS_DEFPUSHBUTTON},
                     {IDC_CLOSE_BUTTON, "Button", 306, 249, 50, 14, "Close", true, 0, BS_DEFPUSHBUTTON},
                 }});
}

TEST(Templates, AboutBox100) {
  CheckTemplate({IDD_ABOUTBOX,
                 "About QuonUpdate",
                 235,
                 55,
                 WS_POPUP | WS_CAPTION | DS_MODALFRAME,
                 0,
                 {
                     // The icon control takes the icon's own size.
                     {-1, "Static", 11, 17, 20, 20, nullptr, true, SS_ICON, 0, false},
                     {-1, "Static", 40, 10, 119, 8, "QuonUpdate Version 2.1", true, 0, 0},
                     {-1, "Static", 40, 25, 119, 8, nullptr, true, 0, 0},
                     {IDOK, "Button", 178, 7, 50, 14, "OK", true, BS_DEFPUSHBUTTON, 0},
                 }});
}

TEST(Templates, WaitPlain212) {
  CheckTemplate({IDD_INTERNET_WAIT,
                 "QUON",
                 186,
                 54,
                 WS_POPUP | WS_CAPTION | DS_MODALFRAME,
                 WS_SYSMENU,
                 {
                     {-1, "Static", 7, 7, 94, 8, "Connecting to Internet.", true, 0, 0},
                     {-1, "Static", 7, 18, 96, 8, "This may take a few minutes ", true, 0, 0},
                     {IDC_ANIMATE, ANIMATE_CLASSA, 127, 7, 52, 40, nullptr, true, 0, kAnimStyles},
                 }});
}

TEST(Templates, WaitProgress214) {
  CheckTemplate({IDD_INTERNET_WAIT_PROGRESS,
                 "QUON",
                 186,
                 87,
                 WS_POPUP | WS_CAPTION | DS_MODALFRAME,
                 WS_SYSMENU,
                 {
                     {IDC_WAIT_STATUS, "Static", 7, 7, 94, 8, "Connecting to Internet.", true, 0, 0},
                     {IDC_WAIT_DETAIL, "Static", 7, 32, 96, 8, "This may take a few minutes ", true, 0, 0},
                     {IDC_ANIMATE, ANIMATE_CLASSA, 127, 7, 52, 43, nullptr, true, 0, kAnimStyles},
                     {IDC_PROGRESS, PROGRESS_CLASSA, 7, 50, 172, 11, nullptr, false, WS_BORDER, 0},
                     {IDC_WAIT_CANCEL, "Button", 67, 66, 50, 14, "Cancel", true, 0, BS_DEFPUSHBUTTON},
                 }});
}

TEST(Resources, StringsTitleAndOwnVersion) {
  EXPECT_EQ(LoadResourceString(IDS_ABOUTBOX), "&About QuonUpdate...");
  EXPECT_EQ(LoadResourceString(IDS_APP_TITLE), "QUON Update");
  EXPECT_EQ(AppTitle(), "QUON Update");
  auto platform = MakeWinPlatform();
  std::string version;
  ASSERT_TRUE(platform->QueryProductVersionString(platform->ModuleFileName(), version));
  EXPECT_EQ(version, "2, 1, 0, 0");
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInRes;
  WORD id;
};
#pragma pack(pop)

TEST(Resources, IconHas32And16Images16Colours) {
  HRSRC group = FindResourceA(ResourceInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME), MAKEINTRESOURCEA(14));
  ASSERT_NE(group, nullptr);
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(ResourceInstance(), group)));
  WORD count = *reinterpret_cast<const WORD*>(data + 4);
  ASSERT_EQ(count, 2);
  const auto* entries = reinterpret_cast<const GroupIconEntry*>(data + 6);
  std::vector<int> sizes;
  for (int i = 0; i < count; ++i) {
    sizes.push_back(entries[i].width);
    EXPECT_EQ(entries[i].width, entries[i].height);
    EXPECT_EQ(entries[i].colorCount, 16);
    EXPECT_EQ(entries[i].bitCount, 4);
  }
  EXPECT_EQ(sizes, (std::vector<int>{32, 16}));
  for (int size : {32, 16}) {
    HICON icon = static_cast<HICON>(
        LoadImageA(ResourceInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
    EXPECT_NE(icon, nullptr) << size;
    if (icon) DestroyIcon(icon);
  }
}

TEST(Resources, WaitClipIsSixUncompressed16ColourFrames) {
  HRSRC res = FindResourceA(ResourceInstance(), MAKEINTRESOURCEA(IDR_AVI_WAIT), "AVI");
  ASSERT_NE(res, nullptr);
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(ResourceInstance(), res)));
  DWORD size = SizeofResource(ResourceInstance(), res);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  ASSERT_EQ(bytes.substr(0, 4), "RIFF");
  ASSERT_EQ(bytes.substr(8, 4), "AVI ");
  auto dword = [&](size_t at) { return *reinterpret_cast<const DWORD*>(data + at); };
  size_t avih = bytes.find("avih");
  ASSERT_NE(avih, std::string::npos);
  EXPECT_EQ(dword(avih + 8), 333333u);      // microseconds a frame
  EXPECT_EQ(dword(avih + 8 + 16), 6u);      // frames
  EXPECT_EQ(dword(avih + 8 + 24), 1u);      // streams
  EXPECT_EQ(dword(avih + 8 + 32), 32u);     // width
  EXPECT_EQ(dword(avih + 8 + 36), 32u);     // height
  size_t strf = bytes.find("strf");
  ASSERT_NE(strf, std::string::npos);
  const auto* bih = reinterpret_cast<const BITMAPINFOHEADER*>(data + strf + 8);
  EXPECT_EQ(bih->biBitCount, 4);
  EXPECT_EQ(bih->biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_EQ(bih->biWidth, 32);
  EXPECT_EQ(bih->biHeight, 32);
  size_t frames = 0;
  for (size_t at = bytes.find("00db"); at != std::string::npos; at = bytes.find("00db", at + 4)) {
    if (at < bytes.find("idx1")) ++frames;
  }
  EXPECT_EQ(frames, 6u);

  // The animation control opens and plays it.
  HWND anim = CreateWindowA(ANIMATE_CLASSA, "", WS_POPUP, 0, 0, 52, 40, nullptr, nullptr, GetModuleHandleA(nullptr),
                            nullptr);
  ASSERT_NE(anim, nullptr);
  EXPECT_TRUE(SendMessageA(anim, ACM_OPENA, reinterpret_cast<WPARAM>(ResourceInstance()),
                           reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(IDR_AVI_WAIT))));
  EXPECT_TRUE(SendMessageA(anim, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF)));
  DestroyWindow(anim);
}

// ---- the wait dialog ----------------------------------------------------

// The wait dialog open in this process, found from another thread.
HWND WaitForWaitDialog() {
  HWND found = nullptr;
  WaitUntil([&] { return (found = ActiveWaitDialog()) != nullptr && IsWindowVisible(found); });
  return found;
}

TEST(WaitDialog, PlainFormReturnsTheProcedureResult) {
  WinWaitDialogHost host;
  std::string caption;
  bool hasCancel = true;
  bool progressGiven = true;
  int32_t result = RunWithWaitDialog(host, 0, [&](ProgressDisplay* progress, const CancelFlag&) {
    progressGiven = progress != nullptr;
    HWND dialog = WaitForWaitDialog();
    caption = GetWindowTextString(dialog);
    hasCancel = GetDlgItem(dialog, IDC_WAIT_CANCEL) != nullptr;
    return 1;
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(caption, "QUON");
  EXPECT_FALSE(hasCancel);
  EXPECT_FALSE(progressGiven);
  EXPECT_EQ(ActiveWaitDialog(), nullptr);

  // A failing procedure and a kind other than 0 and 1 (plain form).
  EXPECT_EQ(RunWithWaitDialog(host, 2, [&](ProgressDisplay* progress, const CancelFlag&) {
              hasCancel = GetDlgItem(WaitForWaitDialog(), IDC_WAIT_CANCEL) != nullptr;
              return progress ? 5 : 0;
            }),
            0);
  EXPECT_FALSE(hasCancel);
}

TEST(WaitDialog, ProgressReachesTheControlsFromTheWorker) {
  WinWaitDialogHost host;
  std::string status, detail;
  bool barVisibleBefore = true, barVisibleAfter = false;
  LRESULT pos = -1, high = -1;
  int32_t result = RunWithWaitDialog(host, 1, [&](ProgressDisplay* progress, const CancelFlag&) {
    HWND dialog = WaitForWaitDialog();
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    barVisibleBefore = IsWindowVisible(bar);
    progress->SetStatusText("Downloading file...");
    progress->SetDetailText("");
    progress->ShowProgressBar(0, 100);
    progress->SetDetailText("300 KB  of  1234 KB");
    progress->SetProgressPos(24);
    WaitUntil([&] {
      char text[100] = {0};
      GetDlgItemTextA(dialog, IDC_WAIT_DETAIL, text, sizeof text);
      return std::strcmp(text, "300 KB  of  1234 KB") == 0 &&
             SendMessageA(bar, PBM_GETPOS, 0, 0) == 24 && IsWindowVisible(bar);
    });
    char text[100] = {0};
    GetDlgItemTextA(dialog, IDC_WAIT_STATUS, text, sizeof text);
    status = text;
    GetDlgItemTextA(dialog, IDC_WAIT_DETAIL, text, sizeof text);
    detail = text;
    barVisibleAfter = IsWindowVisible(bar);
    pos = SendMessageA(bar, PBM_GETPOS, 0, 0);
    high = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
    return 7;
  });
  EXPECT_EQ(result, 7);
  EXPECT_FALSE(barVisibleBefore);
  EXPECT_TRUE(barVisibleAfter);
  EXPECT_EQ(status, "Downloading file...");
  EXPECT_EQ(detail, "300 KB  of  1234 KB");
  EXPECT_EQ(pos, 24);
  EXPECT_EQ(high, 100);
}

// Cancel (progress form) and the time limit (either form) end the dialog
// at once with 0; the worker sees the abandonment and its late result is lost.
TEST(WaitDialog, CancelAndTheTimeLimitAbandonTheWorker) {
  WinWaitDialogHost host;
  for (bool pressCancel : {true, false}) {
    SCOPED_TRACE(pressCancel ? "Cancel" : "time limit");
    std::atomic<bool> sawCancel{false};
    // Ten ticks of 20 ms stand for the ten ticks of 59 s.
    int32_t result = RunWithWaitDialog(
        host, pressCancel ? 1 : 0,
        [&](ProgressDisplay*, const CancelFlag& cancel) {
          if (pressCancel) PressButton(WaitForWaitDialog(), IDC_WAIT_CANCEL);
          // Bounded, so a failure cannot hang the run.
          WaitUntil([&] { return cancel.IsCancelled(); }, 60000);
          sawCancel = cancel.IsCancelled();
          return 1;  // too late: must not reach the caller
        },
        pressCancel ? kWaitTimerIntervalMs : 20);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(WaitUntil([&] { return sawCancel.load(); }, 60000));
    EXPECT_TRUE(WaitForWaitWorkers(std::chrono::seconds(10)));
  }
}

TEST(WaitDialog, EscapeEnterAndCloseDoNotEndIt) {
  WinWaitDialogHost host;
  for (int kind : {0, 1}) {
    SCOPED_TRACE(kind);
    bool stillOpen = false;
    int32_t result = RunWithWaitDialog(host, kind, [&](ProgressDisplay*, const CancelFlag& cancel) {
      HWND dialog = WaitForWaitDialog();
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      PostMessageA(dialog, WM_CLOSE, 0, 0);
      // Keys as the user presses them, to whichever control has the focus.
      HWND focus = GetDlgItem(dialog, IDC_ANIMATE);
      for (WPARAM key : {VK_ESCAPE, VK_RETURN}) {
        PostMessageA(focus, WM_KEYDOWN, key, 0);
        PostMessageA(focus, WM_KEYUP, key, 0);
      }
      // Round trip through the dialog's queue: everything above was handled.
      SendMessageA(dialog, WM_NULL, 0, 0);
      Sleep(200);
      SendMessageA(dialog, WM_NULL, 0, 0);
      stillOpen = IsWindow(dialog) && !cancel.IsCancelled();
      return 5;
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(result, 5);
  }
}

// A message box of a server call comes from the worker while the wait
// dialog is up: captioned with the application title, owned by the dialog.
TEST(WaitDialog, MessageBoxFromTheWorkerIsOwnedByTheDialog) {
  WinWaitDialogHost host;
  WinUserPrompts prompts;
  HWND dialog = nullptr, owner = nullptr;
  std::string text;
  int answer = 0;
  bool answered = false;
  {
    WhenWindowShows answerer([] { return VisibleWindow("#32770", "QUON Update"); }, [&](HWND box) {
      owner = GetWindow(box, GW_OWNER);
      for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (GetWindowTextString(c).find("Logon Failed") != std::string::npos) text = GetWindowTextString(c);
      }
      PressButton(box, IDOK);
    });
    EXPECT_EQ(RunWithWaitDialog(host, 0, [&](ProgressDisplay*, const CancelFlag&) {
                dialog = WaitForWaitDialog();
                answer = prompts.MessageBox("Logon Failed.  Error #565", MsgButtons::Ok, MsgIcon::Exclamation);
                return 0;
              }),
              0);
    answered = answerer.Seen();
  }
  EXPECT_TRUE(answered);  // found by its caption, the application title
  EXPECT_EQ(answer, kIdOk);
  EXPECT_EQ(text, "Logon Failed.  Error #565");
  EXPECT_NE(dialog, nullptr);
  EXPECT_EQ(owner, dialog);
}

// Item 1 of issue 21: whatever the text (a list file's entry of 64,001
// bytes, thousands of lines, one endless word), the box and its OK button
// stay on the screen.
TEST(MessageBox, ABoxStaysOnTheScreenWhateverItsText) {
  std::string deep;
  while (deep.size() < 63999) deep += "a/";
  const std::string texts[] = {"Failed to update file:\r\n" + deep + "x", std::string(5000, '\n') + "end",
                               std::string(200000, 'w')};
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  for (const std::string& text : texts) {
    WinUserPrompts prompts;
    RECT box = {}, ok = {};
    bool seen = false;
    {
      WhenWindowShows answerer([] { return VisibleWindow("#32770", "QUON Update"); },
                               [&](HWND window) {
                                 GetWindowRect(window, &box);
                                 GetWindowRect(GetDlgItem(window, IDOK), &ok);
                                 seen = true;
                                 PressButton(window, IDOK);
                               });
      EXPECT_EQ(prompts.MessageBox(text), kIdOk);
    }
    ASSERT_TRUE(seen) << text.substr(0, 40);
    EXPECT_LE(box.bottom - box.top, screenHeight) << text.substr(0, 40);
    EXPECT_LE(box.right - box.left, screenWidth) << text.substr(0, 40);
    EXPECT_GE(ok.top, 0) << text.substr(0, 40);
    EXPECT_LE(ok.bottom, screenHeight) << "the OK button is off the screen: " << text.substr(0, 40);
  }
}

// A box open when the wait ends (here by Cancel) ends with it, answered
// safely: the worker's OK box, its Yes/No question (No) and the proxy
// credentials dialog (Cancel), each owned by the wait dialog.
TEST(WaitDialog, ItsEndClosesTheBoxesItOwnsWithTheSafeAnswer) {
  WinWaitDialogHost host;
  WinUserPrompts prompts;
  struct Case {
    const char* name;
    std::function<int()> show;
    int expected;
    int wrongButton;  // pressed when the box outlives the wait, so a failure cannot hang
  } cases[] = {
      {"OK box", [&] { return prompts.MessageBox("Error #565"); }, kIdOk, IDOK},
      {"Yes/No box", [&] { return prompts.MessageBox("Retry?", MsgButtons::YesNo); }, kIdNo, IDYES},
      {"credentials dialog",
       [&] {
         int answer = 0;
         prompts.RunOwnedDialog([&](void* owner) {
           answer = MessageBoxA(static_cast<HWND>(owner), "Proxy", "QUON Update", MB_OKCANCEL);
         });
         return answer;
       },
       IDCANCEL, IDOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HWND dialog = nullptr, owner = nullptr;
    std::atomic<bool> closedByWait{false};
    std::atomic<int> answer{0};
    {
      WhenWindowShows canceller([] { return VisibleWindow("#32770", "QUON Update"); }, [&](HWND box) {
        owner = GetWindow(box, GW_OWNER);
        PressButton(GetWindow(box, GW_OWNER), IDC_WAIT_CANCEL);
        closedByWait = WaitUntil([&] { return !IsWindow(box); }, 15000);
        if (!closedByWait) PressButton(box, c.wrongButton);
      });
      EXPECT_EQ(RunWithWaitDialog(host, 1, [&](ProgressDisplay*, const CancelFlag&) {
                  dialog = WaitForWaitDialog();
                  answer = c.show();
                  return 1;
                }),
                0);
    }
    EXPECT_TRUE(WaitForWaitWorkers(std::chrono::seconds(10)));
    EXPECT_TRUE(closedByWait);
    EXPECT_EQ(answer, c.expected);
    EXPECT_NE(dialog, nullptr);
    EXPECT_EQ(owner, dialog);
  }
}

}  // namespace
