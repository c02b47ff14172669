#include "support/TinyProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/FaultServer.h"

extern char** environ;

namespace quon::test {
namespace {

bool Accepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

TinyProxy::TinyProxy(const std::string& directory, const std::string& user, const std::string& password) {
  const char* binary = "/usr/bin/tinyproxy";
  if (access(binary, X_OK) != 0) {
    m_problem = "tinyproxy is not installed";
    return;
  }
  for (int attempt = 0; attempt < 3 && !Running(); ++attempt) {
    uint16_t port = FreePort();
    std::string config = directory + "/tinyproxy.conf";
    {
      std::ofstream out(config);
      out << "Port " << port << "\n"
          << "Listen 127.0.0.1\n"
          << "Timeout 30\n"
          << "LogFile \"" << directory << "/tinyproxy.log\"\n"
          << "LogLevel Info\n"
          << "MaxClients 20\n"
          << "DisableViaHeader Yes\n"
          << "BasicAuth " << user << " " << password << "\n";
      // As root it keeps running as root unless told otherwise; a test
      // has no reason to change users.
    }
    char* argv[] = {const_cast<char*>(binary), const_cast<char*>("-d"), const_cast<char*>("-c"),
                    const_cast<char*>(config.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string output = directory + "/tinyproxy.out";
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, binary, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      m_problem = "tinyproxy could not be started";
      return;
    }
    m_pid = pid;
    for (int i = 0; i < 100; ++i) {
      if (Accepts(port)) {
        m_port = port;
        return;
      }
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        m_pid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
    m_problem = "tinyproxy did not listen (see " + output + ")";
  }
}

TinyProxy::~TinyProxy() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    for (int i = 0; i < 40; ++i) {
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

}  // namespace quon::test
