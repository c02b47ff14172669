// Test helpers: child processes (the server under
// test, command-line tools) and HTTP requests over loopback.
#pragma once
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace quon::test {

std::string RandomBytes(size_t n, unsigned seed);

// A program run to its end: exit status (or -1 when it did not end in
// time and was killed) and what it wrote on stdout and stderr together.
struct RunResult {
  int status = -1;
  std::string output;
};
RunResult RunProgram(const std::vector<std::string>& argv, int timeoutSeconds = 60);

// A program left running (stdout and stderr to `outputPath`); it is killed
// when the test process dies. -1 when it cannot be started.
pid_t StartProcess(const std::vector<std::string>& argv, const std::string& outputPath);
// The peak resident memory of a running process in KiB, or -1.
long PeakMemoryKiB(pid_t pid);
// Sends `sig` and waits up to the timeout (then SIGKILL); the exit status,
// 128 + the signal when a signal ended it, or -1.
int StopProcess(pid_t pid, int sig, int timeoutSeconds = 20);

// The server under test (or the program QUON_TEST_SERVER_BIN names), started
// on 127.0.0.1 with port 0 (fork and exec;
// the child is killed when the test process dies). The port is
// read from its first output line. The destructor stops it (SIGTERM, then
// SIGKILL), also when a test has failed.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the server; false (with the reason in Error()) when it did not
  // report a listening port.
  bool Start(const std::string& root, const std::vector<std::string>& extraArgs = {});
  // Sends SIGTERM and waits; returns the exit status, or -1 when it had to
  // be killed.
  int Stop();
  void Signal(int sig) const;

  int Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }
  std::string Url(const std::string& pathAndQuery) const;
  // What the server has written to stderr so far (its request log).
  std::string Log() const;
  const std::string& Error() const { return m_error; }

 private:
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_logPath;
  std::string m_error;
  TempDir m_logDir;
};

struct HttpReply {
  long status = 0;  // 0 when no reply arrived
  std::string body;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string error;  // libcurl's text when no reply arrived
};

// One POST (HTTP/1.0 unless told) with the updater's content type.
HttpReply HttpPost(const std::string& url, const std::string& body, bool http10 = true);
// Any method, any body, any headers. For https URLs, `caFile` names the only
// certificate authorities trusted (empty: the system's); `source` is the
// client's address on loopback (empty: 127.0.0.1).
HttpReply HttpRequest(const std::string& method, const std::string& url, const std::string& body,
                      const std::vector<std::string>& headers, bool http10 = false, const std::string& caFile = "",
                      long timeoutSeconds = 60, const std::string& source = "");

// A TCP connection to 127.0.0.1:port from `source` (another loopback
// address stands for another client), with the receive buffer made small
// when asked (a client that reads slowly); sends and receives give up
// after 2 s. -1 when it cannot be made.
int ConnectLoopback(int port, const char* source = "127.0.0.1", int receiveBuffer = 0);

// Raw bytes to 127.0.0.1:port on a connection of their own: what came back
// until the server closed the connection or was silent for 2 s.
struct RawExchange {
  std::string reply;
  bool closed = false;  // by the server, not by the wait
};
RawExchange ExchangeRaw(int port, const std::string& request);

// A certificate authority and a server certificate for 127.0.0.1 that it
// issued, made with openssl in `dir`: ca.pem, server.pem, server-key.pem.
bool MakeTestTlsCertificates(const std::string& dir);

}  // namespace quon::test
