// An Xvfb of the test's own on a display number it picks itself
// (-displayfd); stopped again by the destructor.
#pragma once
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace quon::test {

class PrivateXvfb {
 public:
  explicit PrivateXvfb(const char* screen) {
    int fds[2];
    if (pipe(fds) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    for (;;) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(fds[0], &set);
      timeval timeout{20, 0};
      if (select(fds[0] + 1, &set, nullptr, nullptr, &timeout) <= 0) break;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (!number.empty()) m_name = ":" + number;
  }
  ~PrivateXvfb() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
  }
  PrivateXvfb(const PrivateXvfb&) = delete;
  PrivateXvfb& operator=(const PrivateXvfb&) = delete;
  // ":N", or empty when Xvfb did not start.
  const std::string& Name() const { return m_name; }

 private:
  pid_t m_pid = -1;
  std::string m_name;
};

}  // namespace quon::test
