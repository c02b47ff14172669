// The server alone on loopback under the attacks of a hostile client: while
// each runs (from 127.0.0.2), a real request (from 127.0.0.1) is still
// answered within a few seconds and the server's memory stays bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "base/BuildConfig.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;

bool SendAll(int fd, const std::string& data) {
  return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

long PeakMemoryKiB(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// The update's file, read 16 KiB at a time every 50 ms (about 3 s for
// 1 MiB): the reply without its HTTP head.
std::string SlowDownload(int port) {
  const int fd = ConnectLoopback(port);
  std::string reply;
  if (fd < 0 || !SendAll(fd, RawPost("GetUpgradeFile", FileBody("1", "6.0.121.3")))) return reply;
  char block[16384];
  for (ssize_t n; (n = recv(fd, block, sizeof block, 0)) > 0;) {
    reply.append(block, static_cast<size_t>(n));
    std::this_thread::sleep_for(50ms);
  }
  close(fd);
  const size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

const std::string kHead = "POST " + std::string(kUpdatePath) + "?GetUpgradeList HTTP/1.1\r\nHost: x\r\n";

struct Attack {
  const char* name;
  std::vector<std::string> serverArgs;
  // Runs until `stop`, from 127.0.0.2 against the port.
  std::function<void(int port, const std::atomic<bool>& stop)> run;
  const char* logMarker;  // what the server's log shows of it
  size_t logLines;        // at least this often
};

void PrintTo(const Attack& attack, std::ostream* os) { *os << attack.name; }

// Eight connections each sending up to 60 MiB of short header lines.
void EndlessHeaderLines(int port, const std::atomic<bool>& stop) {
  std::vector<std::thread> senders;
  for (int i = 0; i < 8; ++i) {
    senders.emplace_back([port, &stop] {
      const int fd = ConnectLoopback(port, "127.0.0.2");
      if (fd < 0) return;
      std::string lines;
      while (lines.size() < 64 * 1024) lines += "X-Pad: 0123456789abcdef\r\n";
      bool ok = SendAll(fd, kHead);
      for (size_t sent = 0; ok && !stop && sent < (60u << 20); sent += lines.size()) ok = SendAll(fd, lines);
      close(fd);
    });
  }
  for (auto& t : senders) t.join();
}

// Connections that send one byte every 200 ms, forever: of a header line,
// and of the request line itself.
void OneByteAtATime(int port, const std::atomic<bool>& stop) {
  std::vector<int> fds;
  for (const std::string& start : {kHead, std::string("POST /quon")}) {
    const int fd = ConnectLoopback(port, "127.0.0.2");
    if (fd >= 0 && SendAll(fd, start)) fds.push_back(fd);
  }
  while (!stop) {
    for (int fd : fds) SendAll(fd, "X");
    std::this_thread::sleep_for(200ms);
  }
  for (int fd : fds) close(fd);
}

// About 1,150 connections that send nothing; those refused at once must
// have been told why.
void IdleConnections(int port, const std::atomic<bool>& stop) {
  std::vector<int> fds;
  for (int i = 0; i < 1150 && !stop; ++i) {
    const int fd = ConnectLoopback(port, "127.0.0.2");
    if (fd >= 0) fds.push_back(fd);
  }
  while (!stop) std::this_thread::sleep_for(50ms);
  int told = 0;
  for (int fd : fds) {
    char reply[64] = {};
    if (recv(fd, reply, sizeof reply - 1, MSG_DONTWAIT) > 0 &&
        std::string(reply).rfind("HTTP/1.1 503 Service Unavailable\r\n", 0) == 0)
      ++told;
    close(fd);
  }
  EXPECT_GT(told, 1000) << "connections refused without a 503";
}

class ServerUnderAttack : public ::testing::TestWithParam<Attack> {};

TEST_P(ServerUnderAttack, StillAnswersARealRequestWithBoundedMemory) {
  const Attack& attack = GetParam();
  TempDir root;
  const std::string archive = RandomBytes(1 << 20, 7);
  root.Write("a.cab", archive);
  root.Write("catalog.ini",
             "[update 1]\nposted = 2026-01-05\nname = N\ndescription = D\napplies-to = 6.0.121.3\n"
             "archive = a.cab\nbrings = 6.0.122.3\n");
  ServerProcess server;
  ASSERT_TRUE(server.Start(root.Root().string(), attack.serverArgs)) << server.Error();
  const std::string url = server.Url(std::string(kUpdatePath) + "?GetUpgradeList");

  std::atomic<bool> stop{false};
  std::thread attacker([&] { attack.run(server.Port(), stop); });
  std::this_thread::sleep_for(1s);
  for (int i = 0; i < 3; ++i) {
    HttpReply reply = HttpRequest("POST", url, ListBody("6.0.121.3"), {"Expect:"}, true, "", 5);
    EXPECT_EQ(reply.status, 200) << attack.name << ": " << reply.error;
    EXPECT_EQ(OfferedIds(reply.body), std::vector<std::string>{"1"});
  }
  // A download read slowly, for longer than a request may take to arrive,
  // is not cut.
  EXPECT_TRUE(SlowDownload(server.Port()) == FileReplyBytes("4711", "6.0.122.3", archive)) << attack.name;

  stop = true;
  attacker.join();
  const long peak = PeakMemoryKiB(server.Pid());
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 96 * 1024) << attack.name << ": peak resident memory in KiB";
  EXPECT_EQ(server.Stop(), 0);
  const std::string log = server.Log();
  size_t marks = 0;
  for (size_t at = log.find(attack.logMarker); at != std::string::npos; at = log.find(attack.logMarker, at + 1))
    ++marks;
  EXPECT_GE(marks, attack.logLines) << attack.name << "\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Attacks, ServerUnderAttack,
                         ::testing::Values(Attack{"EndlessHeaderLines",
                                                  {},
                                                  EndlessHeaderLines,
                                                  " 431 - updateversion=- TableID=- result=\"header-too-large\"",
                                                  8},
                                           Attack{"OneByteAtATime",
                                                  {"--threads", "2", "--per-address", "0", "--request-timeout", "2"},
                                                  OneByteAtATime,
                                                  " 408 - updateversion=- TableID=- result=\"request-timeout\"",
                                                  2},
                                           Attack{"IdleConnections", {}, IdleConnections, "busy: refused ", 1}),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quon::test
