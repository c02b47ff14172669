// The server alone on loopback under the attacks of hostile clients (from
// 127.0.0.2 and other addresses of 127.0.0.0/8): while each runs, a real
// request from 127.0.0.1 is answered within 2 s, a slow download is served
// to its end, and the server's peak memory stays under 96 MiB. Each case
// prints its figures, also when QUON_TEST_SERVER_BIN names another build.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <thread>

#include "base/BuildConfig.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool SendAll(int fd, const std::string& data) {
  return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string Source(int n) { return "127.0.0." + std::to_string(n); }

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

const std::string kPath = kUpdatePath;

struct Target {
  int port = 0;
  int adminPort = 0;
};

using AttackRun = std::function<void(const Target&, const std::atomic<bool>& stop)>;

// `connections` connections, each from one of `addresses` addresses
// (127.0.0.2 on), each sent `start` and then `more()` until `stop` or the
// server closes it.
void Connections(int port, int connections, int addresses, const std::string& start,
                 const std::function<std::string()>& more, const std::atomic<bool>& stop) {
  std::vector<std::thread> senders;
  for (int i = 0; i < connections; ++i) {
    senders.emplace_back([=, &stop] {
      const int fd = ConnectLoopback(port, Source(2 + i % addresses).c_str());
      if (fd < 0) return;
      bool ok = start.empty() || SendAll(fd, start);
      while (ok && !stop) {
        const std::string next = more ? more() : std::string();
        ok = next.empty() ? (std::this_thread::sleep_for(50ms), true) : SendAll(fd, next);
      }
      close(fd);
    });
  }
  for (auto& t : senders) t.join();
}

// Up to 60 MiB of short header lines on each of eight connections.
void EndlessHeaderLines(const Target& t, const std::atomic<bool>& stop) {
  std::string lines;
  while (lines.size() < 64 * 1024) lines += "X-Pad: 0123456789abcdef\r\n";
  auto sent = std::make_shared<std::atomic<size_t>>(0);
  Connections(
      t.port, 8, 1, "POST " + kPath + "?GetUpgradeList HTTP/1.1\r\nHost: x\r\n",
      [=] { return (*sent += lines.size()) < (480u << 20) ? lines : std::string(); }, stop);
}

// One byte every 200 ms, of a header line and of the request line itself.
void OneByteAtATime(const Target& t, const std::atomic<bool>& stop) {
  std::vector<int> fds;
  for (const std::string& start : {"POST " + kPath + " HTTP/1.1\r\nHost: x\r\n", std::string("POST /quon")}) {
    const int fd = ConnectLoopback(t.port, "127.0.0.2");
    if (fd >= 0 && SendAll(fd, start)) fds.push_back(fd);
  }
  while (!stop) {
    for (int fd : fds) SendAll(fd, "X");
    std::this_thread::sleep_for(200ms);
  }
  for (int fd : fds) close(fd);
}

// Connections that send nothing: `count` from each of `addresses`
// addresses, held until the end.
AttackRun Idle(int addresses, int count, bool admin = false) {
  return [=](const Target& t, const std::atomic<bool>& stop) {
    std::vector<int> fds;
    for (int a = 0; a < addresses; ++a)
      for (int i = 0; i < count && !stop; ++i) {
        const int fd = ConnectLoopback(admin ? t.adminPort : t.port, Source(2 + a).c_str());
        if (fd >= 0) fds.push_back(fd);
      }
    while (!stop) std::this_thread::sleep_for(50ms);
    for (int fd : fds) close(fd);
  };
}

// 32 kept connections from four addresses, each asking again every 4.5 s
// (within the 5 s a kept connection may stay silent): seven requests a
// second in all.
void KeepAliveRequests(const Target& t, const std::atomic<bool>& stop) {
  const std::string request = "POST " + kPath + "?GetUpgradeList HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                              std::to_string(ListBody("6.0.121.3").size()) + "\r\n\r\n" + ListBody("6.0.121.3");
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i)
    clients.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(15 * i));
      int fd = -1;
      while (!stop) {
        if (fd < 0) fd = ConnectLoopback(t.port, Source(2 + i % 4).c_str());
        char reply[4096];
        if (fd >= 0 && !(SendAll(fd, request) && recv(fd, reply, sizeof reply, 0) > 0)) {
          close(fd);
          fd = -1;
        }
        for (int w = 0; w < 90 && !stop; ++w) std::this_thread::sleep_for(50ms);
      }
      if (fd >= 0) close(fd);
    });
  for (auto& c : clients) c.join();
}

// Four connections posting a 60 KiB gzip body that inflates to 60 MiB, again
// and again.
void GzipBomb(const Target& t, const std::atomic<bool>& stop) {
  TempDir dir;
  RunProgram({"/bin/sh", "-c", "head -c 62914560 /dev/zero | gzip -9 > " + dir.Path("bomb.gz")});
  const std::string bomb = ReadFile(dir.Path("bomb.gz"));
  const std::string request = "POST " + kPath + "?GetUpgradeList HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\n" +
                              "Content-Length: " + std::to_string(bomb.size()) + "\r\n\r\n" + bomb;
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i)
    posters.emplace_back([&] {
      while (!stop) {
        const int fd = ConnectLoopback(t.port, "127.0.0.2");
        char reply[256];
        if (fd >= 0 && SendAll(fd, request)) (void)!recv(fd, reply, sizeof reply, 0);
        if (fd >= 0) close(fd);
      }
    });
  for (auto& p : posters) p.join();
}

// PUT with a chunked body of up to 256 MiB on each of four connections.
AttackRun ChunkedPut(bool admin) {
  return [=](const Target& t, const std::atomic<bool>& stop) {
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'z') + "\r\n";
    auto sent = std::make_shared<std::atomic<size_t>>(0);
    Connections(
        admin ? t.adminPort : t.port, 4, 1,
        "PUT " + (admin ? std::string("/metrics") : kPath) +
            " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
        [=] { return (*sent += chunk.size()) < (1u << 30) ? chunk : std::string(); }, stop);
  };
}

// Heads that end with bare line feeds (and CR CR LF), then bytes without
// any line end.
void BareLineFeedHeads(const Target& t, const std::atomic<bool>& stop) {
  const std::string junk(64 * 1024, 'a');
  auto sent = std::make_shared<std::atomic<size_t>>(0);
  auto more = [=] { return (*sent += junk.size()) < (256u << 20) ? junk : std::string(); };
  std::thread cr([&] { Connections(t.port, 4, 2, "GET / HTTP/1.1\r\r\nHost: x\r\r\n\r\r\n", more, stop); });
  Connections(t.port, 4, 2, "GET / HTTP/1.1\nHost: x\n\n", more, stop);
  cr.join();
}

// TLS connections that send the start of a handshake and stall, from
// four addresses.
void TlsStall(const Target& t, const std::atomic<bool>& stop) {
  Connections(t.port, 60, 4, std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), nullptr, stop);
}

struct Attack {
  const char* name;
  std::vector<std::string> serverArgs;
  AttackRun run;
  const char* logMarker;  // what the server's log shows of it (nullptr: nothing to look for)
  size_t logLines;        // at least this often
  bool tls = false;
};

void PrintTo(const Attack& attack, std::ostream* os) { *os << attack.name; }

class ServerUnderAttack : public ::testing::TestWithParam<Attack> {};

TEST_P(ServerUnderAttack, StillAnswersARealRequestWithBoundedMemory) {
  const Attack& attack = GetParam();
  TempDir root, pki;
  const std::string archive = RandomBytes(1 << 20, 7);
  root.Write("a.cab", archive);
  root.Write("catalog.ini",
             "[update 1]\nposted = 2026-01-05\nname = N\ndescription = D\napplies-to = 6.0.121.3\n"
             "archive = a.cab\nbrings = 6.0.122.3\n");
  std::vector<std::string> args = attack.serverArgs;
  if (attack.tls) {
    ASSERT_TRUE(MakeTestTlsCertificates(pki.Root().string()));
    args.insert(args.end(), {"--tls-cert", pki.Path("server.pem"), "--tls-key", pki.Path("server-key.pem")});
  }
  ServerProcess server;
  ASSERT_TRUE(server.Start(root.Root().string(), args)) << server.Error();
  Target target{server.Port(), 0};
  const size_t admin = server.Log().find("metrics at http://127.0.0.1:");
  if (admin != std::string::npos) target.adminPort = std::atoi(server.Log().c_str() + admin + 28);
  std::string url = server.Url(kPath + "?GetUpgradeList");
  if (attack.tls) url.insert(4, "s");

  std::atomic<bool> stop{false};
  std::thread attacker([&] { attack.run(target, stop); });
  std::this_thread::sleep_for(1s);
  long long slowest = 0;
  int failed = 0;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    HttpReply reply =
        HttpRequest("POST", url, ListBody("6.0.121.3"), {"Expect:"}, true, attack.tls ? pki.Path("ca.pem") : "", 2);
    slowest = std::max<long long>(slowest,
                                  std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    failed += reply.status != 200;
    EXPECT_EQ(reply.status, 200) << attack.name << ": " << reply.error;
    EXPECT_EQ(OfferedIds(reply.body), std::vector<std::string>{"1"});
  }
  // A download read slowly, for longer than a request may take to arrive,
  // is not cut.
  if (!attack.tls) {
    EXPECT_TRUE(SlowDownload(server.Port()) == FileReplyBytes("4711", "6.0.122.3", archive)) << attack.name;
  }

  stop = true;
  attacker.join();
  const long peak = PeakMemoryKiB(server.Pid());
  std::cout << attack.name << ": slowest real request " << slowest << " ms (" << failed
            << " of 3 not answered 200), peak resident memory " << peak / 1024 << " MiB\n";
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 96 * 1024) << attack.name << ": peak resident memory in KiB";
  EXPECT_EQ(server.Stop(), 0);
  if (attack.logMarker == nullptr) return;
  const std::string log = server.Log();
  size_t marks = 0;
  for (size_t at = log.find(attack.logMarker); at != std::string::npos; at = log.find(attack.logMarker, at + 1))
    ++marks;
  EXPECT_GE(marks, attack.logLines) << attack.name << "\n" << log.substr(0, 4000);
}

const std::vector<std::string> kAdmin = {"--admin", "127.0.0.1:0"};

INSTANTIATE_TEST_SUITE_P(
    Attacks, ServerUnderAttack,
    ::testing::Values(
        Attack{"EndlessHeaderLines",
               {},
               EndlessHeaderLines,
               " 431 - updateversion=- TableID=- result=\"header-too-large\"",
               8},
        Attack{"OneByteAtATime",
               {"--threads", "2", "--per-address", "0", "--request-timeout", "2"},
               OneByteAtATime,
               " 408 - updateversion=- TableID=- result=\"request-timeout\"",
               2},
        Attack{"IdleConnectionsFromOneAddress", {}, Idle(1, 1150), "busy: refused ", 1},
        Attack{"IdleConnectionsFromTwentyAddresses", {}, Idle(20, 16), nullptr, 0},
        Attack{"KeepAliveRequestsFromFourAddresses", {}, KeepAliveRequests, nullptr, 0},
        Attack{"GzipBomb", {}, GzipBomb, " 415 - updateversion=- TableID=- result=\"bad-request\"", 4},
        Attack{"ChunkedPut", {}, ChunkedPut(false), " 405 - updateversion=- TableID=- result=\"bad-method\"", 4},
        Attack{"BareLineFeedHeads", {}, BareLineFeedHeads, nullptr, 0},
        Attack{"TlsHandshakeStall", {}, TlsStall, nullptr, 0, true},
        Attack{"AdminAddressIdleAndChunkedPut", kAdmin,
               [](const Target& t, const std::atomic<bool>& stop) {
                 std::thread put([&] { ChunkedPut(true)(t, stop); });
                 Idle(4, 500, true)(t, stop);
                 put.join();
               },
               nullptr, 0}),
    [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quon::test
