#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "support/ServerProcess.h"

namespace quon::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> out;
  for (const auto& a : args) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

// Waits for the child up to the deadline; the exit status, or -1 (and the
// child killed) when it did not end in time.
int WaitFor(pid_t pid, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return -1;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Starts argv[0] with stdout (and stderr, unless stderrPath is given) on
// the file descriptor out, or on the file outPath. The child dies with the
// test process, so that not even a crashed test leaves a server behind.
pid_t Spawn(const std::vector<std::string>& args, int outFd, const std::string& outPath, const std::string& errPath) {
  auto argv = Argv(args);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int out = outFd;
  if (out < 0) out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = errPath.empty() ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0) _exit(127);
  dup2(out, 1);
  dup2(err, 2);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

size_t CollectBody(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

size_t CollectHeader(char* data, size_t size, size_t n, void* user) {
  std::string line(data, size * n);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    (*static_cast<std::map<std::string, std::string>*>(user))[name] = value;
  }
  return size * n;
}

}  // namespace

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

RunResult RunProgram(const std::vector<std::string>& args, int timeoutSeconds) {
  RunResult result;
  TempDir dir;
  const std::string outPath = dir.Path("output");
  const pid_t pid = Spawn(args, -1, outPath, "");
  if (pid < 0) {
    result.output = "cannot start " + args[0];
    return result;
  }
  result.status = WaitFor(pid, timeoutSeconds);
  result.output = ReadFile(outPath);
  return result;
}

pid_t StartProcess(const std::vector<std::string>& argv, const std::string& outputPath) {
  return Spawn(argv, -1, outputPath, "");
}

long PeakMemoryKiB(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

int StopProcess(pid_t pid, int sig, int timeoutSeconds) {
  if (pid <= 0) return -1;
  kill(pid, sig);
  return WaitFor(pid, timeoutSeconds);
}

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(const std::string& root, const std::vector<std::string>& extraArgs) {
  // QUON_TEST_SERVER_BIN runs another build of the server under the same
  // tests and benchmarks, to compare figures.
  const char* other = std::getenv("QUON_TEST_SERVER_BIN");
  std::vector<std::string> args = {other && *other ? other : QUON_SERVER_BIN, "--root", root, "--listen",
                                   "127.0.0.1:0"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  // The figures go beside the log unless the test names a place.
  if (std::find(extraArgs.begin(), extraArgs.end(), "--stats") == extraArgs.end())
    args.insert(args.end(), {"--stats", m_logDir.Path("stats.sqlite")});
  m_logPath = m_logDir.Path("server.log");

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    m_error = "pipe failed";
    return false;
  }
  m_pid = Spawn(args, pipeFds[1], "", m_logPath);
  close(pipeFds[1]);
  if (m_pid < 0) {
    close(pipeFds[0]);
    m_pid = -1;
    m_error = "cannot start " + args[0];
    return false;
  }

  // The first line, "listening on 127.0.0.1:PORT", within 20 seconds.
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    const ssize_t n = read(pipeFds[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.compare(0, prefix.size(), prefix) != 0 || line.find('\n') == std::string::npos) {
    m_error = "no listening line; got '" + line + "'; log: " + Log();
    Stop();
    return false;
  }
  m_port = std::atoi(line.c_str() + prefix.size());
  return m_port > 0;
}

int ServerProcess::Stop() {
  if (m_pid <= 0) return -1;
  kill(m_pid, SIGTERM);
  const int status = WaitFor(m_pid, 20);
  m_pid = -1;
  return status;
}

void ServerProcess::Signal(int sig) const {
  if (m_pid > 0) kill(m_pid, sig);
}

std::string ServerProcess::Url(const std::string& pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

std::string ServerProcess::Log() const { return m_logPath.empty() ? std::string() : ReadFile(m_logPath); }

HttpReply HttpRequest(const std::string& method, const std::string& url, const std::string& body,
                      const std::vector<std::string>& headers, bool http10, const std::string& caFile,
                      long timeoutSeconds, const std::string& source) {
  HttpReply reply;
  CURL* curl = curl_easy_init();
  if (!curl) return reply;
  curl_slist* list = nullptr;
  for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!source.empty()) curl_easy_setopt(curl, CURLOPT_INTERFACE, source.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  if (method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
  if (!caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  }
  const CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  } else {
    reply.error = curl_easy_strerror(rc);
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return reply;
}

int ConnectLoopback(int port, const char* source, int receiveBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

RawExchange ExchangeRaw(int port, const std::string& request) {
  RawExchange result;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return result;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
    char block[16384];
    ssize_t n;
    while ((n = recv(fd, block, sizeof block, 0)) > 0) result.reply.append(block, static_cast<size_t>(n));
    result.closed = n == 0 || (n < 0 && errno == ECONNRESET);
  }
  close(fd);
  return result;
}

bool MakeTestTlsCertificates(const std::string& dir) {
  const std::string ca = dir + "/ca.pem", caKey = dir + "/ca-key.pem", key = dir + "/server-key.pem",
                    csr = dir + "/server.csr", cert = dir + "/server.pem", ext = dir + "/ext.cnf";
  WriteFile(ext, "subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n");
  const std::vector<std::vector<std::string>> steps = {
      {"/usr/bin/env", "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", caKey, "-out", ca,
       "-subj", "/CN=Quon Test TLS Root"},
      {"/usr/bin/env", "openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj",
       "/CN=127.0.0.1"},
      {"/usr/bin/env", "openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", caKey, "-set_serial", "2", "-days", "2",
       "-extfile", ext, "-out", cert},
  };
  for (const auto& step : steps) {
    if (RunProgram(step).status != 0) return false;
  }
  return true;
}

HttpReply HttpPost(const std::string& url, const std::string& body, bool http10) {
  return HttpRequest("POST", url, body, {"Content-Type: application/x-quon-encoded", "User-Agent: QuonUpdate", "Expect:"},
                     http10);
}

}  // namespace quon::test
