// What several replicas of the update server need around them, started for
// one test or benchmark on 127.0.0.1 at ports picked here, and stopped with
// the object: a private PostgreSQL server, and nginx in front with the
// shipped recipe (server/deploy/nginx-quon-update.conf).
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace quon::test {

// A free TCP port on 127.0.0.1 (bound once and released).
int FreeLoopbackPort();

// initdb in a temporary directory, then postgres on 127.0.0.1 only (no Unix
// socket). PostgreSQL refuses to run as root: under root (CI) both run as
// the user nobody (setpriv), which owns the directory.
class PostgresServer {
 public:
  // Empty when PostgreSQL's server programs are installed, otherwise what
  // is missing (for the skip message).
  static std::string Missing();

  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  bool Running() const { return m_pid > 0; }
  const std::string& Problem() const { return m_problem; }
  // postgresql://quon@127.0.0.1:PORT/postgres (trusted, no password).
  std::string Uri() const;

 private:
  TempDir m_dir;
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_problem;
};

// nginx (one process, its own prefix, configuration and logs) with the
// shipped recipe: TLS on a picked port with the given certificate, the
// recipe's three upstream servers replaced by `upstreams`; without its
// rate limit on list requests when asked (a benchmark of the servers
// behind it).
class NginxFront {
 public:
  static std::string Missing();

  NginxFront(const std::string& recipe, const std::vector<int>& upstreams, const std::string& certFile,
             const std::string& keyFile, bool rateLimit = true);
  ~NginxFront();
  NginxFront(const NginxFront&) = delete;
  NginxFront& operator=(const NginxFront&) = delete;

  bool Running() const { return m_pid > 0; }
  const std::string& Problem() const { return m_problem; }
  int Port() const { return m_port; }
  std::string ErrorLog() const;

 private:
  TempDir m_dir;
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_problem;
};

}  // namespace quon::test
