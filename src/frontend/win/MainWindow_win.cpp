#include "frontend/win/MainWindow_win.h"

#include <shlwapi.h>

#include "app/UpdateDlg.h"
#include "base/FsPath.h"
#include "frontend/win/UiThread_win.h"
#include "frontend/win/WaitDialog_win.h"
#include "resource.h"

namespace quon::win {

AboutDlg::AboutDlg(HWND parent) : Dialog(IDD_ABOUTBOX, parent) {}

namespace {

// Icon 128 at the size of the system metrics `cx` and `cy`: the resource's
// image of that size, not another one scaled. Not shared (a shared icon
// comes in the size it was first loaded in); the window destroys it.
HICON LoadAppIcon(int cx, int cy) {
  return static_cast<HICON>(LoadImageA(ResourceInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                       GetSystemMetrics(cx), GetSystemMetrics(cy), 0));
}

}  // namespace

WinMainWindow::WinMainWindow()
    : Dialog(IDD_QUONUPDATE_DIALOG, nullptr),
      m_hIcon(LoadAppIcon(SM_CXICON, SM_CYICON)),
      m_hSmallIcon(LoadAppIcon(SM_CXSMICON, SM_CYSMICON)) {}

WinMainWindow::~WinMainWindow() {
  m_browser.Destroy();
  if (m_hIcon) DestroyIcon(m_hIcon);
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
}

void WinMainWindow::DoDataExchange(bool save) {
  Dialog::DoDataExchange(save);
  ExchangeControl(IDC_EXPLORER, m_browserSite);
  if (m_browserSite && !m_browser.IsCreated()) {
    m_browser.Create(m_browserSite, [this](const std::string& url, bool userStarted, bool& cancel) {
      if (m_logic) m_logic->OnBeforeNavigate2(url, userStarted, cancel);
    });
  }
}

BOOL WinMainWindow::OnInitDialog() {
  Dialog::OnInitDialog();
  SetMainWindow(Hwnd());
  SendMessageA(Hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(Hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
  if (HMENU menu = GetSystemMenu(Hwnd(), FALSE)) {
    std::string about = LoadResourceString(IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  if (m_logic) m_logic->OnInitDialog();
  return TRUE;
}

void WinMainWindow::OnOK() {
  if (m_logic) m_logic->OnOK();
}

void WinMainWindow::OnCancel() {
  if (m_logic) m_logic->OnCancel();
}

bool WinMainWindow::OnCommand(WORD id, WORD notifyCode, HWND) {
  if (notifyCode != BN_CLICKED) return false;
  switch (id) {
    case IDC_CLOSE_BUTTON:
      if (m_logic) m_logic->OnCloseButton();
      return true;
    case IDC_ABOUT_BUTTON:
      if (m_logic) {
        m_logic->OnAbout();
      } else {
        RunAboutBox();
      }
      return true;
    default:
      return false;
  }
}

INT_PTR WinMainWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM, bool& handled) {
  switch (msg) {
    case WM_CLOSE:
      handled = true;
      if (m_logic) m_logic->OnClose();
      return TRUE;
    case WM_SYSCOMMAND:
      if (m_logic && m_logic->OnSysCommand(static_cast<unsigned>(wParam))) {
        handled = true;
        return TRUE;
      }
      return FALSE;  // the default handling
    case WM_PAINT:
      if (IsIconic(Hwnd())) {
        handled = true;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(Hwnd(), &ps);
        SendMessageA(Hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        RECT rc;
        GetClientRect(Hwnd(), &rc);
        int x = (rc.right - rc.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
        int y = (rc.bottom - rc.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
        DrawIcon(dc, x, y, m_hIcon);
        EndPaint(Hwnd(), &ps);
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      handled = true;
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_DESTROY:
      m_browser.Destroy();
      if (MainWindow() == Hwnd()) SetMainWindow(nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

std::string PageUrlForBrowser(const std::string& url) {
  static constexpr char kScheme[] = "file://";
  constexpr size_t kSchemeLength = sizeof kScheme - 1;
  if (url.compare(0, kSchemeLength, kScheme) != 0) return url;
  const std::wstring path = FsPath(url.substr(kSchemeLength)).wstring();
  // A URL is at most 2083 characters long (INTERNET_MAX_URL_LENGTH).
  wchar_t converted[2084];
  DWORD length = 2084;
  if (path.empty() || FAILED(UrlCreateFromPathW(path.c_str(), converted, &length, 0))) return url;
  return PathText(std::filesystem::path(std::wstring(converted, length)));
}

void WinMainWindow::Navigate(const std::string& url) { m_browser.Navigate(PageUrlForBrowser(url)); }

void WinMainWindow::SetStatusText(const std::string& text) { SetDlgItemTextA(Hwnd(), IDC_STATUS_LINE, text.c_str()); }

void WinMainWindow::ShowStatus(bool visible) { ShowWindow(Item(IDC_STATUS_LINE), visible ? SW_SHOW : SW_HIDE); }

void WinMainWindow::EndDialog(int result) {
  // The OK result runs the data exchange first, as the dialog's OK command.
  if (result == IDOK) UpdateData(true);
  Dialog::EndDialog(result);
}

void WinMainWindow::RunAboutBox() {
  AboutDlg about(Hwnd());
  about.DoModal();
}

void WinMainWindow::SetWaitCursor(bool wait) {
  if (wait) {
    m_savedCursor = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  } else {
    SetCursor(m_savedCursor ? m_savedCursor : LoadCursor(nullptr, IDC_ARROW));
    m_savedCursor = nullptr;
  }
}

void WinMainWindow::SleepMs(unsigned ms) { Sleep(ms); }

void WinMainWindow::PostToUiThread(std::function<void()> fn) { Ui().Post(std::move(fn)); }

}  // namespace quon::win
