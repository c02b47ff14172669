#include "support/ReferenceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

namespace quon::test {

ReferenceServer::ReferenceServer(const std::string& executable, const std::string& root) {
  int out[2];
  if (pipe(out) != 0) {
    m_problem = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string rootArg = root;
  char* argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("--root"), rootArg.data(),
                  const_cast<char*>("--listen"), const_cast<char*>("127.0.0.1:0"), nullptr};
  int rc = posix_spawn(&m_pid, executable.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    m_pid = -1;
    close(out[0]);
    m_problem = "could not start " + executable;
    return;
  }
  // The first line: "listening on ADDR:PORT".
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  const std::string marker = "listening on ";
  size_t at = line.find(marker);
  size_t colon = line.rfind(':', line.find('\n'));
  if (at == std::string::npos || colon == std::string::npos) {
    m_problem = "the server did not report its address: " + line;
    return;
  }
  m_port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

ReferenceServer::~ReferenceServer() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
}

void WriteCatalog(const std::string& dir, unsigned number, const std::string& appliesTo, const std::string& brings,
                  const std::string& archive) {
  std::ofstream out(dir + "/catalog.ini");
  out << "[update " << number << "]\n"
      << "posted      = 2026-03-16 09:30\n"
      << "name        = Test update " << number << "\n"
      << "description = An update for the tests.\n"
      << "applies-to  = " << appliesTo << "\n"
      << "archive     = " << archive << "\n"
      << "brings      = " << brings << "\n";
}

}  // namespace quon::test
