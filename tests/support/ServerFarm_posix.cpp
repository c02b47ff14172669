#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/ServerFarm.h"
#include "support/ServerProcess.h"

namespace quon::test {

namespace {

namespace fs = std::filesystem;

// The newest installed PostgreSQL's program directory, or empty.
std::string PostgresBin() {
  std::error_code ec;
  std::string best;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const fs::path bin = entry.path() / "bin";
    if (fs::exists(bin / "postgres") && fs::exists(bin / "initdb") && bin.string() > best) best = bin.string();
  }
  return best;
}

const char kNginx[] = "/usr/sbin/nginx";
constexpr uid_t kNobody = 65534;

// argv run as nobody when this process is root; the program dies with the
// test process either way.
std::vector<std::string> Unprivileged(std::vector<std::string> argv) {
  if (geteuid() != 0) return argv;
  std::vector<std::string> wrapped = {"/usr/bin/setpriv", "--reuid=nobody",   "--regid=nogroup",
                                      "--clear-groups",   "--pdeathsig=KILL", "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

std::string PostgresServer::Missing() {
  if (PostgresBin().empty()) return "PostgreSQL's server is not installed (Debian package postgresql)";
  if (geteuid() == 0 && !fs::exists("/usr/bin/setpriv")) return "setpriv is missing (Debian package util-linux)";
  return {};
}

PostgresServer::PostgresServer() {
  const std::string bin = PostgresBin();
  if (bin.empty()) {
    m_problem = Missing();
    return;
  }
  if (geteuid() == 0 && chown(m_dir.Root().c_str(), kNobody, static_cast<gid_t>(-1)) != 0) {
    m_problem = "cannot hand the directory to nobody";
    return;
  }
  const std::string data = m_dir.Path("data");
  RunResult init = RunProgram(
      Unprivileged({bin + "/initdb", "-D", data, "-U", "quon", "-A", "trust", "--no-sync", "-E", "UTF8", "--locale=C"}),
      120);
  if (init.status != 0) {
    m_problem = "initdb failed: " + init.output;
    return;
  }
  for (int attempt = 0; attempt < 3 && m_pid <= 0; ++attempt) {
    m_port = FreeLoopbackPort();
    const pid_t pid = StartProcess(
        Unprivileged({bin + "/postgres", "-D", data, "-p", std::to_string(m_port), "-c", "listen_addresses=127.0.0.1",
                      "-c", "unix_socket_directories=", "-c", "fsync=off", "-c", "max_connections=40"}),
        m_dir.Path("postgres.log"));
    const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(m_port) + " user=quon dbname=postgres";
    for (int i = 0; i < 300; ++i) {
      if (PQping(conninfo.c_str()) == PQPING_OK) {
        m_pid = pid;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (m_pid <= 0) StopProcess(pid, SIGKILL, 10);
  }
  if (m_pid <= 0) m_problem = "postgres did not start: " + ReadFile(m_dir.Path("postgres.log"));
}

PostgresServer::~PostgresServer() { StopProcess(m_pid, SIGINT, 30); }  // a fast shutdown

std::string PostgresServer::Uri() const {
  return "postgresql://quon@127.0.0.1:" + std::to_string(m_port) + "/postgres";
}

std::string NginxFront::Missing() {
  return fs::exists(kNginx) ? std::string() : std::string("nginx is not installed (Debian package nginx)");
}

NginxFront::NginxFront(const std::string& recipe, const std::vector<int>& upstreams, const std::string& certFile,
                       const std::string& keyFile, bool rateLimit) {
  if (!Missing().empty()) {
    m_problem = Missing();
    return;
  }
  std::string site = ReadFile(recipe);
  if (site.empty()) {
    m_problem = "cannot read " + recipe;
    return;
  }
  // The recipe's own upstream servers, address and certificate give way to
  // the test's.
  std::string servers;
  for (int port : upstreams)
    servers += "    server 127.0.0.1:" + std::to_string(port) + " max_fails=1 fail_timeout=5s;\n";
  site = std::regex_replace(site, std::regex("    server 127\\.0\\.0\\.1:808[1-3][^\n]*\n"), "");
  Replace(site, "    keepalive 8;", servers + "    keepalive 8;");
  if (!rateLimit) site = std::regex_replace(site, std::regex("        limit_req zone=[^\n]*\n"), "");
  Replace(site, "/etc/ssl/quon/updates.quon-sim.example.pem", certFile);
  Replace(site, "/etc/ssl/quon/updates.quon-sim.example.key", keyFile);
  fs::create_directories(m_dir.Path("logs"));
  fs::create_directories(m_dir.Path("tmp"));
  for (int attempt = 0; attempt < 3 && m_pid <= 0; ++attempt) {
    m_port = FreeLoopbackPort();
    std::string mine = site;
    Replace(mine, "listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(m_port) + " ssl;");
    m_dir.Write("site.conf", mine);
    const std::string tmp = m_dir.Path("tmp");
    m_dir.Write("nginx.conf", "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " +
                                  m_dir.Path("logs/error.log") + " warn;\npid " + m_dir.Path("nginx.pid") +
                                  ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
                                  "  client_body_temp_path " +
                                  tmp + "/body;\n  proxy_temp_path " + tmp + "/proxy;\n  fastcgi_temp_path " + tmp +
                                  "/fastcgi;\n  uwsgi_temp_path " + tmp + "/uwsgi;\n  scgi_temp_path " + tmp +
                                  "/scgi;\n  include " + m_dir.Path("site.conf") + ";\n}\n");
    const pid_t pid = StartProcess({kNginx, "-p", m_dir.Dir(), "-c", m_dir.Path("nginx.conf")}, m_dir.Path("stderr"));
    for (int i = 0; i < 100; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(m_port));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      close(fd);
      if (up) {
        m_pid = pid;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (m_pid <= 0) StopProcess(pid, SIGKILL, 10);
  }
  if (m_pid <= 0) m_problem = "nginx did not start: " + ReadFile(m_dir.Path("stderr")) + ErrorLog();
}

NginxFront::~NginxFront() { StopProcess(m_pid, SIGQUIT, 20); }

std::string NginxFront::ErrorLog() const { return ReadFile(m_dir.Path("logs/error.log")); }

}  // namespace quon::test
