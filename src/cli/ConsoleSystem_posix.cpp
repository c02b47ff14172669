// Linux: the terminal through isatty and termios, SIGINT and SIGTERM as the
// interrupt, SIGPIPE ignored (a reader that went away must not end an
// installation half way), and text converted to UTF-8 the way the desktop
// program shows it: UTF-8 stays, anything else is read as Windows-1252.
#include <errno.h>
#include <iconv.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "cli/ConsoleSystem.h"

namespace quon::cli {

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flag");

extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
    } else if (c >= 0x80) {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string FromWindows1252(std::string_view text) {
  iconv_t cd = iconv_open("UTF-8", "WINDOWS-1252");
  std::string out;
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (char c : text) out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
    return out;
  }
  out.resize(text.size() * 3 + 4);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* to = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1)) break;
    // A byte that Windows-1252 leaves undefined: shown as '?'.
    if (errno != EILSEQ && errno != EINVAL) break;
    *to++ = '?';
    --outLeft;
    ++in;
    --inLeft;
  }
  out.resize(out.size() - outLeft);
  iconv_close(cd);
  return out;
}

// C1 control characters (U+0080..U+009F) are terminal commands too.
std::string WithoutC1Controls(std::string text) {
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const auto next = static_cast<unsigned char>(text[i + 1]);
    if (lead == 0xC2 && next >= 0x80 && next <= 0x9F) text.replace(i, 2, "?");
  }
  return text;
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

class PosixConsole : public ConsoleSystem {
 public:
  PosixConsole() {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a read at the terminal returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
  }

  bool IsTerminal(Stream stream) override { return ::isatty(stream == Stream::Out ? 1 : 2) == 1; }
  bool InputIsTerminal() override { return ::isatty(0) == 1; }

  void Write(Stream stream, std::string_view text) override {
    WriteAll(stream == Stream::Out ? 1 : 2, TextForFile(text));
  }

  bool ReadLine(std::string& line, bool echo) override {
    termios saved{};
    const bool hide = !echo && ::tcgetattr(0, &saved) == 0;
    if (hide) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(0, TCSAFLUSH, &quiet);
    }
    line.clear();
    bool ended = false;
    for (;;) {
      char c = 0;
      const ssize_t n = ::read(0, &c, 1);
      if (n < 0 && errno == EINTR && !g_interrupted.load()) continue;
      if (n <= 0) {
        ended = true;
        break;
      }
      if (c == '\n') break;
      if (c != '\r' && line.size() < 1000) line += c;
    }
    if (hide) ::tcsetattr(0, TCSAFLUSH, &saved);
    return !ended && !g_interrupted.load();
  }

  bool InterruptRequested() override { return g_interrupted.load(); }
};

}  // namespace

std::unique_ptr<ConsoleSystem> OpenProcessConsole() { return std::make_unique<PosixConsole>(); }

std::string TextForFile(std::string_view text) {
  return WithoutC1Controls(IsValidUtf8(text) ? std::string(text) : FromWindows1252(text));
}

bool LocalTime(std::time_t t, std::tm& local) { return ::localtime_r(&t, &local) != nullptr; }

}  // namespace quon::cli
