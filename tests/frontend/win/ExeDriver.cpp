#include "ExeDriver.h"

#include <winsock2.h>

#include <algorithm>
#include <cstring>

#include "LinkStandIn.h"
#include "resource.h"

namespace quon::wintest {

namespace {

constexpr char kPortVariable[] = "QUON_TEST_SERVER_PORT";

// This process's environment with `name` set to `value`, as CreateProcess
// takes it (sorted order is not required for ANSI blocks).
std::string EnvironmentWith(const std::string& name, const std::string& value) {
  std::string block;
  if (char* strings = GetEnvironmentStringsA()) {
    for (const char* entry = strings; *entry; entry += std::strlen(entry) + 1) {
      std::string text = entry;
      if (_strnicmp(text.c_str(), (name + "=").c_str(), name.size() + 1) != 0) block += text + '\0';
    }
    FreeEnvironmentStringsA(strings);
  }
  block += name + "=" + value + '\0';
  block += '\0';
  return block;
}

HWND LinkStandIn(DWORD pid) {
  for (HWND w = nullptr; (w = FindWindowExA(HWND_MESSAGE, w, kLinkStandInClass, nullptr)) != nullptr;) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == pid) return w;
  }
  return nullptr;
}

void MakeForeground(HWND window) {
  HWND top = GetAncestor(window, GA_ROOT);
  SetForegroundWindow(top);
  WaitUntil([top] { return GetForegroundWindow() == top; }, 3000);
}

void Send(std::vector<INPUT> inputs) {
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  Sleep(50);  // let the input reach the X server and come back
}

}  // namespace

AppUnderTest::~AppUnderTest() {
  if (!m_info.hProcess) return;
  if (Running()) {
    TerminateProcess(m_info.hProcess, 99);
    WaitForSingleObject(m_info.hProcess, 10000);
  }
  CloseHandle(m_info.hThread);
  CloseHandle(m_info.hProcess);
}

bool AppUnderTest::Start(const std::string& productDir, uint16_t port, Build build, const std::string& arguments,
                         HANDLE output) {
  const std::string from = ExeDir() + (build == Build::Test ? "exe-under-test\\" : "shipped\\");
  for (const char* name : {"QuonUpdate.exe", "CABLIB.DLL"}) {
    if (build != Build::InPlace && !CopyFileA((from + name).c_str(), (productDir + name).c_str(), FALSE)) return false;
  }
  std::string exe = productDir + "QuonUpdate.exe";
  std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  std::string environment = EnvironmentWith(kPortVariable, std::to_string(port));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (output) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  // Started from somewhere else than its own directory, as from a shortcut.
  if (launchDir.empty()) {
    return CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, output ? TRUE : FALSE, 0, &environment[0],
                          ExeDir().c_str(), &startup, &m_info) != FALSE;
  }
  const std::wstring wideExe = launchDir + L"QuonUpdate.exe";
  std::wstring wideLine = L"\"" + wideExe + L"\"" + std::wstring(arguments.begin(), arguments.end());
  if (!arguments.empty()) wideLine.insert(wideExe.size() + 2, L" ");
  STARTUPINFOW wideStartup = {};
  wideStartup.cb = sizeof wideStartup;
  wideStartup.dwFlags = startup.dwFlags;
  wideStartup.hStdOutput = wideStartup.hStdError = startup.hStdOutput;
  const std::string exeDir = ExeDir();
  const std::wstring workDir(exeDir.begin(), exeDir.end());
  return CreateProcessW(wideExe.c_str(), &wideLine[0], nullptr, nullptr, output ? TRUE : FALSE, 0, &environment[0],
                        workDir.c_str(), &wideStartup, &m_info) != FALSE;
}

bool AppUnderTest::Running() const {
  return m_info.hProcess && WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

long AppUnderTest::WaitForExit(unsigned timeoutMs) {
  if (!m_info.hProcess || WaitForSingleObject(m_info.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_info.hProcess, &code);
  return static_cast<long>(code);
}

bool AppUnderTest::PointAtLink(const std::string& url) {
  HWND links = WaitForWindow([this] { return LinkStandIn(Pid()); }, 10000);
  if (!links) return false;
  COPYDATASTRUCT data = {kPointAtLink, static_cast<DWORD>(url.size()), const_cast<char*>(url.data())};
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(links, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 10000,
                             &result) &&
         result == TRUE;
}

bool AppUnderTest::LinkFollowed() {
  HWND links = LinkStandIn(Pid());
  DWORD_PTR pending = 1;
  return links && SendMessageTimeoutA(links, kLinkPending, 0, 0, SMTO_NORMAL, 10000, &pending) && pending == 0;
}

namespace {

struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOf(HWND w, LPARAM p) {
  auto* search = reinterpret_cast<WindowSearch*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  if (owner == search->pid && IsWindowVisible(w)) search->found.push_back(w);
  return TRUE;
}

}  // namespace

std::vector<HWND> WindowsOf(DWORD pid) {
  WindowSearch search{pid, {}};
  EnumWindows(&CollectWindowOf, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

namespace {

HWND FirstDialog(DWORD pid, const char* caption, int item, bool withItem) {
  for (HWND w : WindowsOf(pid)) {
    if (ClassNameOf(w) == "#32770" && TextOf(w) == caption && (GetDlgItem(w, item) != nullptr) == withItem) return w;
  }
  return nullptr;
}

}  // namespace

HWND MainWindowOf(DWORD pid) {
  for (HWND w : WindowsOf(pid)) {
    if (ClassNameOf(w) == "#32770" && GetDlgItem(w, IDC_EXPLORER) && ClassNameOf(GetDlgItem(w, IDC_EXPLORER)) == "QuonBrowserSite")
      return w;
  }
  return nullptr;
}

HWND MessageBoxOf(DWORD pid) { return FirstDialog(pid, "QUON Update", 0xFFFF, true); }

HWND WaitDialogOf(DWORD pid, bool progress) { return FirstDialog(pid, "QUON", IDC_PROGRESS, progress); }

HWND WaitForWindow(const std::function<HWND()>& find, unsigned timeoutMs) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = find()) != nullptr; }, timeoutMs);
  return found;
}

std::string TextOf(HWND window) {
  char text[4096] = {0};
  DWORD_PTR length = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000, &length);
  return std::string(text, length < sizeof text ? length : 0);
}

std::string ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

std::string MessageBoxText(HWND box) { return ItemText(box, 0xFFFF); }

void ClickOn(HWND window) {
  MakeForeground(window);
  RECT rc;
  GetWindowRect(window, &rc);
  // Absolute positions are given in 0..65535 over the primary screen.
  const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  INPUT move = {};
  move.type = INPUT_MOUSE;
  move.mi.dx = ((rc.left + rc.right) / 2 * 65535 + width / 2) / (width - 1);
  move.mi.dy = ((rc.top + rc.bottom) / 2 * 65535 + height / 2) / (height - 1);
  move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  INPUT down = move, up = move;
  down.mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
  up.mi.dwFlags |= MOUSEEVENTF_LEFTUP;
  Send({move, down, up});
}

void PressKey(HWND window, WORD virtualKey) {
  MakeForeground(window);
  INPUT down = {};
  down.type = INPUT_KEYBOARD;
  down.ki.wVk = virtualKey;
  down.ki.wScan = static_cast<WORD>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC));
  INPUT up = down;
  up.ki.dwFlags = KEYEVENTF_KEYUP;
  Send({down, up});
}

std::string AnswerMessageBox(DWORD pid, int id, unsigned timeoutMs) {
  HWND box = WaitForWindow([pid] { return MessageBoxOf(pid); }, timeoutMs);
  if (!box) return "<no box>";
  std::string text = MessageBoxText(box);
  ClickOn(GetDlgItem(box, id));
  WaitUntil([box] { return !IsWindow(box); }, 10000);
  return text;
}

// ---- the relay ------------------------------------------------------------

GatedRelay::GatedRelay(uint16_t upstreamPort)
    : m_upstream(upstreamPort),
      m_server([this](const test::ReceivedRequest& request, test::FaultConnection& client) {
        Relay(request, client);
      }) {}

void GatedRelay::HoldNextReply(size_t bytes, bool fileOnly) {
  m_holdFileOnly = fileOnly;
  m_release = false;
  m_holdAt = bytes;
}

void GatedRelay::Relay(const test::ReceivedRequest& request, test::FaultConnection& client) {
  const std::string reply = Upstream(request);
  const bool holds = !m_holdFileOnly || request.requestLine.find("?GetUpgradeFile") != std::string::npos;
  size_t gate = holds ? m_holdAt.exchange(kNoHold) : kNoHold;
  constexpr size_t kPiece = 4096;
  for (size_t sent = 0; sent < reply.size() || sent == gate;) {
    if (sent == gate) {
      m_heldSize = reply.size();
      m_holding = true;
      while (!m_release && !client.Stopping()) Sleep(10);
      m_holding = false;
      gate = kNoHold;
      continue;
    }
    size_t end = std::min(reply.size(), sent + kPiece);
    if (sent < gate && gate < end) end = gate;  // up to the gate
    if (!client.Send(std::string_view(reply).substr(sent, end - sent))) return;
    sent = end;
  }
}

std::string GatedRelay::Upstream(const test::ReceivedRequest& request) const {
  // The request as it came, but asking the server to close when done, so
  // that the reply ends with the connection.
  std::string headers;
  for (size_t start = 0; start < request.headers.size();) {
    size_t end = request.headers.find("\r\n", start);
    if (end == std::string::npos) end = request.headers.size();
    std::string line = request.headers.substr(start, end - start);
    if (_strnicmp(line.c_str(), "Connection:", 11) != 0 && !line.empty()) headers += line + "\r\n";
    start = end + 2;
  }
  const std::string bytes = request.requestLine + "\r\n" + headers + "Connection: close\r\n\r\n" + request.body;

  std::string reply;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(m_upstream);
  if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buffer[65536];
    for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
  }
  if (s != INVALID_SOCKET) closesocket(s);
  return reply;
}

}  // namespace quon::wintest
