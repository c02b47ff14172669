// Windows: the program is a GUI program, so it has no console of its own.
// Streams that the parent handed over (a redirection, a pipe of a
// distribution tool) are used as they are; for the others it attaches to
// the parent's console, when there is one. A console is written and read
// in UTF-16, converted from and to the system's code page; files and pipes
// get the code page's bytes. What could command a terminal is replaced on
// the way out (TerminalWideText, TerminalText). Ctrl+C and Ctrl+Break reach
// the console control handler; so does the closing of the console. The
// system does not call that handler for the logoff and the shutdown of a
// program that uses windows: a hidden top-level window hears of those
// (WM_QUERYENDSESSION, WM_ENDSESSION).
#include <windows.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "base/FsPath.h"
#include "base/ProgramText.h"
#include "cli/ConsoleSystem.h"

namespace quon::cli {

namespace {

std::atomic<bool> g_interrupted{false};
// Set when the run is over (the console object goes): a handler that holds
// the process for the system's end waits for it.
HANDLE g_runEnded = nullptr;

// How long the end of the console, the logoff or the shutdown is held
// while the run ends its step cleanly (a download is cancelled and its
// file removed; an installation finishes). The system ends the process when
// the handler returns, and does not wait much more than five seconds.
constexpr DWORD kSystemEndGraceMs = 4500;

void HoldForTheRunsEnd() {
  if (g_runEnded) WaitForSingleObject(g_runEnded, kSystemEndGraceMs);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_interrupted.store(true);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_interrupted.store(true);
      HoldForTheRunsEnd();
      return TRUE;
    default:
      return FALSE;
  }
}

constexpr wchar_t kSessionWindowClass[] = L"QuonUpdateCommandLine";

LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      g_interrupted.store(true);
      return TRUE;
    case WM_ENDSESSION:
      if (wParam) {
        g_interrupted.store(true);
        HoldForTheRunsEnd();
      }
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// The hidden window that hears of the end of the session, on a thread of
// its own (the run's thread has no message loop).
class SessionEndWatch {
 public:
  SessionEndWatch() {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = std::thread([this, ready] {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = &SessionWindowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = kSessionWindowClass;
      RegisterClassW(&wc);
      m_window =
          CreateWindowExW(0, kSessionWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
      SetEvent(ready);
      if (!m_window) return;
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
  }
  ~SessionEndWatch() {
    if (m_window) PostMessageW(m_window, WM_CLOSE, 0, 0);
    m_thread.join();
  }
  SessionEndWatch(const SessionEndWatch&) = delete;
  SessionEndWatch& operator=(const SessionEndWatch&) = delete;

 private:
  HWND m_window = nullptr;
  std::thread m_thread;
};

bool Usable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return Usable(handle) && GetConsoleMode(handle, &mode) != 0;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n, nullptr, nullptr);
  return text;
}

class WinConsole : public ConsoleSystem {
 public:
  WinConsole() {
    m_out = GetStdHandle(STD_OUTPUT_HANDLE);
    m_err = GetStdHandle(STD_ERROR_HANDLE);
    m_in = GetStdHandle(STD_INPUT_HANDLE);
    if ((!Usable(m_out) || !Usable(m_err) || !Usable(m_in)) && AttachConsole(ATTACH_PARENT_PROCESS)) {
      const HANDLE conout = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
      const HANDLE conin = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
      if (!Usable(m_out)) m_out = conout;
      if (!Usable(m_err)) m_err = conout;
      if (!Usable(m_in)) m_in = conin;
    }
    g_runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  }
  ~WinConsole() override {
    // A handler holding the system's end may let it go now.
    if (g_runEnded) SetEvent(g_runEnded);
  }
  WinConsole(const WinConsole&) = delete;
  WinConsole& operator=(const WinConsole&) = delete;

  bool IsTerminal(Stream stream) override { return IsConsole(Handle(stream)); }
  bool InputIsTerminal() override { return IsConsole(m_in); }

  void Write(Stream stream, std::string_view text) override {
    const HANDLE handle = Handle(stream);
    if (!Usable(handle) || text.empty()) return;
    if (IsConsole(handle)) {
      const std::wstring wide = TerminalWideText(text);
      DWORD written = 0;
      WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
      return;
    }
    const std::string bytes = TextForFile(text);
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }

  bool ReadLine(std::string& line, bool echo) override {
    line.clear();
    if (!IsConsole(m_in)) return false;
    DWORD mode = 0;
    GetConsoleMode(m_in, &mode);
    if (!echo) SetConsoleMode(m_in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::wstring typed;
    bool ended = false;
    for (;;) {
      wchar_t c = 0;
      DWORD read = 0;
      if (!ReadConsoleW(m_in, &c, 1, &read, nullptr) || read == 0 || g_interrupted.load()) {
        ended = true;
        break;
      }
      if (c == L'\n') break;
      if (c != L'\r' && typed.size() < 1000) typed += c;
    }
    SetConsoleMode(m_in, mode);
    line = Narrow(typed);
    return !ended && !g_interrupted.load();
  }

  bool InterruptRequested() override { return g_interrupted.load(); }

  std::unique_ptr<LogFile> OpenLog(const std::string& path, std::string& error) override;

 private:
  HANDLE Handle(Stream stream) const { return stream == Stream::Out ? m_out : m_err; }

  HANDLE m_out = nullptr;
  HANDLE m_err = nullptr;
  HANDLE m_in = nullptr;
  SessionEndWatch m_sessionEnd;
};

std::string SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  std::string narrow = Narrow(text);
  return narrow.empty() ? "error " + std::to_string(code) : narrow;
}

class WinLogFile : public LogFile {
 public:
  explicit WinLogFile(HANDLE file) : m_file(file) {}
  ~WinLogFile() override { CloseHandle(m_file); }
  WinLogFile(const WinLogFile&) = delete;
  WinLogFile& operator=(const WinLogFile&) = delete;

  bool Append(std::string_view bytes, std::string& error) override {
    DWORD written = 0;
    if (WriteFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size())
      return true;
    error = SystemErrorText(GetLastError());
    return false;
  }

 private:
  HANDLE m_file;
};

// A path as the system compares it: full, with long names, without the
// "\\?\" prefix the handle's path carries ("\\?\UNC\" a UNC path's).
std::wstring ComparablePath(std::wstring path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    path = path.substr(4);
  }
  const DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
  std::wstring longPath(n, L'\0');
  if (n > 0 && GetLongPathNameW(path.c_str(), &longPath[0], n) < n) {
    longPath.resize(n - 1);
    path = longPath;
  }
  return path;
}

bool SamePathText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Whether the file held is the one its name names, not one a link leads
// to: the path the system gives the handle is the name's own. (Wine does
// not show a Unix link to a file as a reparse point, and opens its target;
// only the path tells.) On a network drive the drive's own path may differ
// from the share's, and only the path below the volume is compared.
bool OpenedWhatIsNamed(HANDLE file, const std::wstring& name) {
  const DWORD fullLength = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  std::wstring full(fullLength, L'\0');
  if (fullLength == 0 || GetFullPathNameW(name.c_str(), fullLength, &full[0], nullptr) >= fullLength) return false;
  full.resize(fullLength - 1);
  full = ComparablePath(full);
  const bool remote = full.size() > 2 && full[1] == L':' &&
                      GetDriveTypeW((full.substr(0, 2) + L"\\").c_str()) == DRIVE_REMOTE;
  const DWORD flags = remote ? VOLUME_NAME_NONE : VOLUME_NAME_DOS;
  const DWORD heldLength = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
  std::wstring held(heldLength, L'\0');
  if (heldLength == 0 || GetFinalPathNameByHandleW(file, &held[0], heldLength, flags) >= heldLength) return false;
  held.resize(heldLength - 1);
  if (!remote) return SamePathText(ComparablePath(held), full);
  const std::wstring below = full.substr(2);  // after the drive letter
  return held.size() >= below.size() && SamePathText(held.substr(held.size() - below.size()), below) &&
         (held.size() == below.size() || below[0] == L'\\');
}

// Through the one conversion of 8-bit paths (FsPath). A link is refused
// wherever it shows: in the name's attributes, in what the opened handle
// says of itself (the link itself is opened, not what it points to), or in
// the path the handle has; so is whatever is not a file on a disk (NUL,
// CON, a pipe). Nothing is created through a link that leads nowhere: a
// missing file is created only as a new name.
std::unique_ptr<LogFile> WinConsole::OpenLog(const std::string& path, std::string& error) {
  const std::wstring name = FsPath(path).wstring();
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = "it is a symbolic link";
    return nullptr;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  for (DWORD disposition : {static_cast<DWORD>(OPEN_EXISTING), static_cast<DWORD>(CREATE_NEW)}) {
    file = CreateFileW(name.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    // Neither there nor free: a link to nothing.
    const DWORD code = GetLastError();
    error = code == ERROR_FILE_EXISTS ? "it is a symbolic link" : SystemErrorText(code);
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool disk = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info);
  if (disk && ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !OpenedWhatIsNamed(file, name))) {
    error = "it is a symbolic link";
  } else if (!disk || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "it is not a regular file";
  } else {
    return std::make_unique<WinLogFile>(file);
  }
  CloseHandle(file);
  return nullptr;
}

}  // namespace

std::unique_ptr<ConsoleSystem> OpenProcessConsole() { return std::make_unique<WinConsole>(); }

// Files and pipes of this system end their lines with CR LF.
std::string TextForFile(std::string_view text) {
  const std::string safe = TerminalText(text);
  std::string bytes;
  bytes.reserve(safe.size());
  for (char c : safe) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

// The C library's localtime keeps its result per thread here.
bool LocalTime(std::time_t t, std::tm& local) {
  const std::tm* result = std::localtime(&t);
  if (!result) return false;
  local = *result;
  return true;
}

}  // namespace quon::cli
