#include "support/WinTestSupport.h"

#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "frontend/win/BrowserHost_win.h"
#include "net/PayloadCodec.h"
#include "support/NetTestSupport.h"

namespace quon::wintest {

bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) return done();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& done, unsigned timeoutMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) return done();
    Sleep(10);
  }
  return true;
}

WhenWindowShows::WhenWindowShows(std::function<HWND()> find, std::function<void(HWND)> act, unsigned timeoutMs) {
  m_thread = std::thread([this, find = std::move(find), act = std::move(act), timeoutMs] {
    HWND found = nullptr;
    WaitUntil([&] { return (found = find()) != nullptr || m_stop.load(); }, timeoutMs);
    if (!found || m_stop) return;
    m_seen = true;
    act(found);
  });
}

WhenWindowShows::~WhenWindowShows() {
  m_stop = true;
  m_thread.join();
}

HWND VisibleWindow(const char* className, const char* caption) {
  HWND w = FindWindowA(className, caption);
  DWORD pid = 0;
  if (w) GetWindowThreadProcessId(w, &pid);
  return w && IsWindowVisible(w) && pid == GetCurrentProcessId() ? w : nullptr;
}

void PressButton(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

RECT DialogUnitsToPixels(HWND dialog, int x, int y, int cx, int cy) {
  // The dialog manager converts position and size each on its own.
  RECT pos = {x, y, cx, cy};
  MapDialogRect(dialog, &pos);
  return RECT{pos.left, pos.top, pos.left + pos.right, pos.top + pos.bottom};
}

RECT ChildRect(HWND child) {
  RECT rc;
  GetWindowRect(child, &rc);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rc), 2);
  return rc;
}

std::string ClassNameOf(HWND hwnd) {
  char name[256] = {0};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

int IconWidth(HICON icon) {
  ICONINFO info = {};
  if (!icon || !GetIconInfo(icon, &info)) return 0;
  BITMAP bitmap = {};
  GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  if (info.hbmMask) DeleteObject(info.hbmMask);
  return bitmap.bmWidth;
}

std::string MakeTempDir(const std::string& prefix) {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  for (unsigned i = GetTickCount() ^ GetCurrentProcessId();; ++i) {
    std::string dir = std::string(base) + prefix + std::to_string(i) + "\\";
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
  }
}

void RemoveTree(const std::string& dir) {
  std::string from = dir;
  while (!from.empty() && from.back() == '\\') from.pop_back();
  from.push_back('\0');  // double-terminated
  SHFILEOPSTRUCTA op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  SHFileOperationA(&op);
}

std::string ExeDir() {
  char path[MAX_PATH] = {0};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.find_last_of('\\') + 1);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void InitWindowsUi(bool ole) {
  if (ole) OleInitialize(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_ANIMATE_CLASS | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  win::RegisterBrowserSiteClass();
}

ServerCall LocalCall(uint16_t port, const std::string& function, bool silent) {
  ServerCall call = test::LocalCall(port, function);
  call.silent = silent;
  return call;
}

FieldMap RequestFields(const std::string& body, const std::string& prefix) {
  FieldMap fields;
  if (body.compare(0, prefix.size(), prefix) == 0) DecodeFields(body.substr(prefix.size()), fields, true);
  return fields;
}

uint16_t ReferenceServerPort() {
  const char* port = std::getenv("QUON_TEST_SERVER_PORT");
  return port ? static_cast<uint16_t>(std::atoi(port)) : 0;
}

}  // namespace quon::wintest
