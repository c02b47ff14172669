// Linux: the terminal through isatty and termios; SIGINT, SIGTERM, SIGHUP
// (a closed terminal, a dropped ssh session) and SIGQUIT as the interrupt;
// SIGPIPE ignored (a reader that went away must not end an installation
// half way); text converted to UTF-8 the way the desktop program shows it
// (UTF-8 stays, anything else is read as Windows-1252), with what could
// command a terminal replaced.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "base/ProgramText.h"
#include "cli/ConsoleSystem.h"

namespace quon::cli {

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flag");

extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// The log: appended with O_APPEND, so that each line lands at the end
// however many write to it.
class PosixLogFile : public LogFile {
 public:
  explicit PosixLogFile(int fd) : m_fd(fd) {}
  ~PosixLogFile() override { ::close(m_fd); }
  PosixLogFile(const PosixLogFile&) = delete;
  PosixLogFile& operator=(const PosixLogFile&) = delete;

  bool Append(std::string_view bytes, std::string& error) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? std::strerror(errno) : "nothing was written";
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

 private:
  int m_fd;
};

// The signals that end the run cleanly, like Ctrl+C.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

class PosixConsole : public ConsoleSystem {
 public:
  PosixConsole() {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a read at the terminal returns
    for (int signal : kEndSignals) sigaction(signal, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
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

  std::unique_ptr<LogFile> OpenLog(const std::string& path, std::string& error) override {
    // Not through a symbolic link, and without waiting: a FIFO without a
    // reader fails at once, one with a reader is refused below.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
      // ENXIO: a FIFO without a reader, or a device without its driver.
      error = errno == ELOOP   ? "it is a symbolic link"
              : errno == ENXIO ? "it is not a regular file"
                               : std::strerror(errno);
      return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      error = "it is not a regular file";
      return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::make_unique<PosixLogFile>(fd);
  }
};

}  // namespace

std::unique_ptr<ConsoleSystem> OpenProcessConsole() { return std::make_unique<PosixConsole>(); }

std::string TextForFile(std::string_view text) { return TerminalText(text); }

bool LocalTime(std::time_t t, std::tm& local) { return ::localtime_r(&t, &local) != nullptr; }

}  // namespace quon::cli
