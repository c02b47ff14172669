// Windows: the program is a GUI program, so it has no console of its own.
// Streams that the parent handed over (a redirection, a pipe of a
// distribution tool) are used as they are; for the others it attaches to
// the parent's console, when there is one. A console is written and read
// in UTF-16, converted from and to the system's code page; files and pipes
// get the code page's bytes. Ctrl+C and Ctrl+Break reach the console
// control handler.
#include <windows.h>

#include <atomic>
#include <ctime>

#include "cli/ConsoleSystem.h"

namespace quon::cli {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    g_interrupted.store(true);
    return TRUE;
  }
  return FALSE;
}

bool Usable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return Usable(handle) && GetConsoleMode(handle, &mode) != 0;
}

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
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
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  }

  bool IsTerminal(Stream stream) override { return IsConsole(Handle(stream)); }
  bool InputIsTerminal() override { return IsConsole(m_in); }

  void Write(Stream stream, std::string_view text) override {
    const HANDLE handle = Handle(stream);
    if (!Usable(handle) || text.empty()) return;
    if (IsConsole(handle)) {
      std::wstring wide = Widen(text);
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

 private:
  HANDLE Handle(Stream stream) const { return stream == Stream::Out ? m_out : m_err; }

  HANDLE m_out = nullptr;
  HANDLE m_err = nullptr;
  HANDLE m_in = nullptr;
};

}  // namespace

std::unique_ptr<ConsoleSystem> OpenProcessConsole() { return std::make_unique<WinConsole>(); }

// Files and pipes of this system end their lines with CR LF.
std::string TextForFile(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char c : text) {
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
