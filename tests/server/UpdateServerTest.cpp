// The update server as the updater meets it: the real binary on loopback,
// requests built with the wire-format code, replies checked byte by byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "base/BuildConfig.h"
#include "net/FieldMap.h"
#include "net/PayloadCodec.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

const char kCatalog[] =
    "# test catalog\n"
    "[update 12]\n"
    "posted = 2005-03-01\n"
    "name = Patch A\n"
    "description = First fix\n"
    "applies-to = 6.0.121.3\n"
    "archive = sp1.cab\n"
    "brings = 6.0.122.3\n"
    "\n"
    "[update 15]\r\n"
    "posted = 2005-05-28 06:00\r\n"
    "name = Patch B & more = 100%\r\n"
    "description = Second fix\r\n"
    "applies-to = 6.0.*.3, 7.0.0.1\r\n"
    "archive = sub/fix.cab\r\n"
    "brings = 6.0.122.4\r\n"
    "\n"
    "[update 20]\n"
    "posted = 2006-01-01\n"
    "name = Other\n"
    "description = For 5.1 only\n"
    "applies-to = 5.1.0.0\n"
    "archive = sp1.cab\n"
    "brings = 5.1.0.1\n"
    "\n"
    "[update 3000000000]\n"
    "posted = 2006-02-01\n"
    "name = High\n"
    "description = Numbered above 2^31\n"
    "applies-to = 8.0.0.1\n"
    "archive = sub/fix.cab\n"
    "brings = 8.0.0.2\n";

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class UpdateServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sp1 = RandomBytes(300000, 1);
    m_fix = RandomBytes(1000, 2);
    WriteFile(m_root.Path("sp1.cab"), m_sp1);
    WriteFile(m_root.Path("sub/fix.cab"), m_fix);
    WriteFile(m_root.Path("catalog.ini"), kCatalog);
  }
  void StartServer(const std::vector<std::string>& args = {}) {
    ASSERT_TRUE(m_server.Start(m_root.Root().string(), args)) << m_server.Error();
  }
  std::string ServiceUrl(const std::string& query) const {
    return m_server.Url(std::string(kUpdatePath) + (query.empty() ? "" : "?" + query));
  }
  HttpReply List(const std::string& version) { return HttpPost(ServiceUrl("GetUpgradeList"), ListBody(version)); }

  TempDir m_root;
  std::string m_sp1, m_fix;
  ServerProcess m_server;
};

TEST_F(UpdateServerTest, ListRepliesArePlainFieldsInCatalogOrder) {
  StartServer();
  HttpReply reply = List("6.0.121.3");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "GetUpgradeListcode=77&status=ACCEPTED&rows=2&cols=4&dbdata=" +
                            PercentEncode("12;38412;Patch A;First fix;15;38500.25;Patch B & more = 100%;Second fix"));

  // What the updater reads from it.
  FieldMap fields;
  DecodeFields(std::string_view(reply.body).substr(14), fields, false);
  std::vector<std::string> cells;
  ASSERT_EQ(SplitFields(fields.Get("dbdata"), cells, ";"), 8u);
  EXPECT_EQ(cells[4], "15");
  EXPECT_EQ(cells[6], "Patch B & more = 100%");

  // A wildcard part and a second listed version.
  reply = List("7.0.0.1");
  EXPECT_EQ(reply.body, "GetUpgradeListcode=77&status=ACCEPTED&rows=1&cols=4&dbdata=" +
                            PercentEncode("15;38500.25;Patch B & more = 100%;Second fix"));
  // Nothing for this version, or for a version that is not one: an empty
  // table, which the updater shows as "up to date".
  for (const char* version : {"6.0.121.4", "", "6.0", "6.0.121.3.1", "x.y.z.w"}) {
    reply = List(version);
    EXPECT_EQ(reply.body, "GetUpgradeListcode=77&status=ACCEPTED&rows=0&cols=4&dbdata=") << version;
  }
  // HTTP/1.1 gets the same.
  reply = HttpPost(ServiceUrl("GetUpgradeList"), ListBody("5.1.0.0", "9999"), false);
  EXPECT_EQ(reply.body, "GetUpgradeListcode=9999&status=ACCEPTED&rows=1&cols=4&dbdata=" +
                            PercentEncode("20;38718;Other;For 5.1 only"));
}

TEST_F(UpdateServerTest, FileRepliesCarryTheHeaderThenTheArchive) {
  StartServer();
  HttpReply reply = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("12", "6.0.121.3"));
  ASSERT_EQ(reply.status, 200);
  const std::string expected = FileReplyBytes("4711", "6.0.122.3", m_sp1);
  EXPECT_EQ(reply.headers["content-length"], std::to_string(expected.size()));
  EXPECT_TRUE(reply.body == expected) << "reply of " << reply.body.size() << " bytes differs";

  // The archive in a subdirectory, over HTTP/1.1, for a wildcard match; no
  // query at all is accepted too.
  reply = HttpPost(ServiceUrl(""), FileBody("15", "6.0.7.3", "1"), false);
  ASSERT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.body == FileReplyBytes("1", "6.0.122.4", m_fix));

  // Whatever the code holds comes back the same after decoding.
  const std::string odd = "12 & =%\xE9";
  reply = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("15", "6.0.121.3", odd));
  EXPECT_TRUE(reply.body == FileReplyBytes(odd, "6.0.122.4", m_fix));

  // An update numbered 2^31 or above, in the signed form the updater sends
  // and in the unsigned one.
  for (const char* id : {"-1294967296", "3000000000"}) {
    reply = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody(id, "8.0.0.1"));
    EXPECT_TRUE(reply.body == FileReplyBytes("4711", "8.0.0.2", m_fix)) << id;
  }
  reply = HttpPost(ServiceUrl("GetUpgradeList"), ListBody("6.0.0.0", odd));
  FieldMap fields;
  DecodeFields(std::string_view(reply.body).substr(14), fields, false);
  EXPECT_EQ(fields.Get("code"), odd);
}

TEST_F(UpdateServerTest, RefusalsAreOneSentenceForTheUser) {
  StartServer();
  struct Case {
    std::string tableId, version, text;
  } cases[] = {
      {"99", "6.0.121.3", "The requested update 99 is not available on this server."},
      {"0", "6.0.121.3", "The requested update 0 is not available on this server."},
      {"-3", "6.0.121.3", "The requested update -3 is not available on this server."},
      {"-4294967284", "6.0.121.3", "The requested update -4294967284 is not available on this server."},
      {"12abc", "6.0.121.3", "The requested update 12abc is not available on this server."},
      {"20", "6.0.121.3", "The update \"Other\" does not apply to the installed version 6.0.121.3."},
      {"12", "bogus\r\n", "The update \"Patch A\" does not apply to the installed version bogus??."},
  };
  for (const Case& c : cases) {
    HttpReply reply = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody(c.tableId, c.version));
    EXPECT_EQ(reply.status, 200) << c.tableId;
    EXPECT_EQ(reply.body, c.text);
    EXPECT_NE(reply.body.compare(0, 10, "BytesCount"), 0);
  }
  // An archive that went away after the start.
  ASSERT_EQ(std::remove((m_root.Path("sub/fix.cab")).c_str()), 0);
  HttpReply reply = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("15", "6.0.121.3"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "The update \"Patch B & more = 100%\" cannot be downloaded at the moment. Please try again later.");
}

TEST_F(UpdateServerTest, MalformedRequestsGetClientErrors) {
  StartServer();
  const std::string url = ServiceUrl("GetUpgradeList");
  FieldMap plain;
  plain.Set("code", "5");
  plain.Set("updateversion", "6.0.121.3");
  struct Case {
    const char* what;
    std::string url, body;
    long status;
  } cases[] = {
      {"no function", url, "Hello", 400},
      {"unknown function", ServiceUrl("GetUpgradeKey"), RequestBody("GetUpgradeKey", {{"code", "1"}}), 400},
      {"query names another function", ServiceUrl("GetUpgradeFile"), ListBody("6.0.121.3"), 400},
      {"plain fields", url, "GetUpgradeList" + EncodeFields(plain, false), 400},
      {"no code", url, RequestBody("GetUpgradeList", {{"updateversion", "6.0.121.3"}}), 400},
      {"empty code", url, RequestBody("GetUpgradeList", {{"code", ""}, {"updateversion", "6.0.121.3"}}), 400},
      {"no version", url, RequestBody("GetUpgradeList", {{"code", "1"}}), 400},
      {"no TableID", ServiceUrl("GetUpgradeFile"),
       RequestBody("GetUpgradeFile", {{"code", "1"}, {"updateversion", "6.0.121.3"}}), 400},
      {"wrong path", m_server.Url("/other.asp?GetUpgradeList"), ListBody("6.0.121.3"), 404},
      {"too large", url, "GetUpgradeList" + std::string(200000, 'A'), 413},
  };
  for (const Case& c : cases) {
    HttpReply reply = HttpPost(c.url, c.body);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_FALSE(reply.body.empty()) << c.what;
    EXPECT_EQ(reply.headers["content-type"].compare(0, 10, "text/plain"), 0) << c.what;
  }
  EXPECT_EQ(HttpRequest("GET", url, "", {}).status, 405);
  EXPECT_EQ(HttpRequest("GET", m_server.Url("/catalog.ini"), "", {}).status, 404);
  EXPECT_EQ(HttpRequest("GET", m_server.Url("/../sp1.cab"), "", {}).status, 404);

  // Random bodies behind a valid function name: never a crash, never a file.
  for (unsigned seed = 0; seed < 200; ++seed) {
    std::string junk = RandomBytes(seed % 97 + 1, seed);
    if (seed % 2) {
      for (char& ch : junk) ch = "ABCabc0189"[static_cast<unsigned char>(ch) % 10];
    }
    HttpReply reply = HttpPost(ServiceUrl("GetUpgradeFile"), "GetUpgradeFile" + junk);
    ASSERT_TRUE(reply.status == 200 || reply.status == 400) << "seed " << seed << " status " << reply.status;
    EXPECT_NE(reply.body.compare(0, 10, "BytesCount"), 0);
  }
  // Still serving.
  EXPECT_EQ(List("6.0.121.3").status, 200);
  EXPECT_EQ(m_server.Stop(), 0);
}

TEST_F(UpdateServerTest, WhatTheUpdaterNeverSendsIsRefusedUnreadAndTheConnectionClosed) {
  StartServer({"--admin", "127.0.0.1:0"});
  const size_t at = m_server.Log().find("metrics at http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos);
  const int admin = std::atoi(m_server.Log().c_str() + at + 28);
  // Each request carries a whole list request where its body would be: it
  // must never be read as the next request on the connection.
  const std::string smuggled = RawPost("GetUpgradeList", ListBody("6.0.121.3"));
  const std::string length = "Content-Length: " + std::to_string(smuggled.size()) + "\r\n";
  const std::string service = std::string(kUpdatePath);
  struct Case {
    const char* what;
    int port;  // 0: the service's
    std::string head;
    const char* status;
  } cases[] = {
      {"GET with a body", 0, "GET " + service + " HTTP/1.1\r\nHost: x\r\n" + length, "405"},
      {"OPTIONS with a body", 0, "OPTIONS " + service + " HTTP/1.1\r\nHost: x\r\n" + length, "405"},
      {"HEAD with a body", 0, "HEAD " + service + " HTTP/1.1\r\nHost: x\r\n" + length, "405"},
      {"chunked PUT", 0, "PUT " + service + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n", "405"},
      {"chunked POST", 0, "POST " + service + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n", "411"},
      {"POST without length", 0, "POST " + service + " HTTP/1.0\r\n", "411"},
      {"gzip POST", 0, "POST " + service + " HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\n" + length, "415"},
      {"identity-encoded POST", 0,
       "POST " + service + " HTTP/1.1\r\nHost: x\r\nContent-Encoding: identity\r\n" + length, "415"},
      {"POST with two lengths", 0, "POST " + service + " HTTP/1.1\r\nHost: x\r\n" + length + "Content-Length: 1\r\n",
       "400"},
      {"POST too large", 0, "POST " + service + " HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n", "413"},
      {"POST elsewhere", 0, "POST /other.asp HTTP/1.1\r\nHost: x\r\n" + length, "404"},
      {"admin: GET with a body", admin, "GET /metrics HTTP/1.1\r\nHost: x\r\n" + length, "400"},
      {"admin: POST", admin, "POST /metrics HTTP/1.1\r\nHost: x\r\n" + length, "405"},
      {"admin: chunked PUT", admin, "PUT /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n", "405"},
  };
  for (const Case& c : cases) {
    const RawExchange x = ExchangeRaw(c.port ? c.port : m_server.Port(), c.head + "\r\n" + smuggled);
    EXPECT_EQ(x.reply.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.what << "\n" << x.reply;
    EXPECT_EQ(x.reply.find("HTTP/1.1 ", 1), std::string::npos) << c.what << ": the body was read as a request";
    EXPECT_TRUE(x.closed) << c.what;
  }
  // Requests as they should be are served one after another on a kept
  // connection.
  std::string list = RawPost("GetUpgradeList", ListBody("6.0.121.3"));
  list.replace(list.find("HTTP/1.0"), 8, "HTTP/1.1");
  std::string last = list;
  last.insert(last.find("Content-Length"), "Connection: close\r\n");
  const RawExchange two = ExchangeRaw(m_server.Port(), list + last);
  EXPECT_EQ(two.reply.rfind("HTTP/1.1 200", 0), 0u) << two.reply;
  EXPECT_NE(two.reply.find("HTTP/1.1 200", 1), std::string::npos) << two.reply;
}

TEST_F(UpdateServerTest, ParallelDownloadsAndStalledClients) {
  const std::string big = RandomBytes(4 << 20, 3);
  WriteFile(m_root.Path("sp1.cab"), big);
  // All from one address: the limit per address is not what is tested here.
  StartServer({"--threads", "6", "--per-address", "0"});

  // Two clients that ask for the big archive and never read, and one that
  // stops in the middle of its request line.
  std::vector<int> stalled;
  for (int i = 0; i < 3; ++i) {
    const int fd = ConnectLoopback(m_server.Port(), "127.0.0.1", 4096);
    ASSERT_GE(fd, 0);
    stalled.push_back(fd);
    const std::string request =
        i < 2 ? RawPost("GetUpgradeFile", FileBody("12", "6.0.121.3")) : "POST " + std::string(kUpdatePath);
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  }

  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      HttpReply reply = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("12", "6.0.121.3", std::to_string(100 + i)));
      if (reply.status == 200 && reply.body == FileReplyBytes(std::to_string(100 + i), "6.0.122.3", big)) ++good;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 8);
  EXPECT_EQ(List("6.0.121.3").status, 200);
  for (int fd : stalled) close(fd);
  EXPECT_EQ(m_server.Stop(), 0);
}

TEST_F(UpdateServerTest, AnArchiveWrittenOverDuringADownloadIsCutNotSentMixed) {
  const std::string old = RandomBytes(16 << 20, 3);
  WriteFile(m_root.Path("sp1.cab"), old);
  StartServer();
  for (const bool inPlace : {true, false}) {
    const std::string served = ReadFile(m_root.Path("sp1.cab"));
    const int fd = ConnectLoopback(m_server.Port(), "127.0.0.1", 4096);
    ASSERT_GE(fd, 0);
    const std::string request = RawPost("GetUpgradeFile", FileBody("12", "6.0.121.3"));
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::string reply;
    char block[65536];
    for (ssize_t n; reply.size() < 100000 && (n = recv(fd, block, sizeof block, 0)) > 0;)
      reply.append(block, static_cast<size_t>(n));
    if (inPlace) {
      std::fstream file(m_root.Path("sp1.cab"), std::ios::in | std::ios::out | std::ios::binary);
      file.write(RandomBytes(1 << 20, 4).data(), 1 << 20);
    } else {
      WriteFile(m_root.Path("new.cab"), old);
      ASSERT_EQ(std::rename(m_root.Path("new.cab").c_str(), m_root.Path("sp1.cab").c_str()), 0);
    }
    for (ssize_t n; (n = recv(fd, block, sizeof block, 0)) > 0;) reply.append(block, static_cast<size_t>(n));
    close(fd);
    const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
    if (inPlace) {
      EXPECT_LT(body.size(), FileReplyBytes("4711", "6.0.122.3", served).size());
    } else {
      // The renamed file is the next download's; this one reads the old file
      // to its end. That file was written over in place above, after the
      // catalog was read: its digest is not known yet, so it goes out as
      // from a server that does not resume.
      EXPECT_TRUE(body == FileReplyBytes("4711", "6.0.122.3", served, 0, false));
    }
  }
  const std::string log = m_server.Log();
  EXPECT_EQ(CountOf(log, "result=\"error: the archive changed during the download (aborted)\""), 1u) << log;
  EXPECT_EQ(CountOf(log, "result=\"ACCEPTED\""), 1u) << log;
}

TEST_F(UpdateServerTest, LogsOneLinePerRequest) {
  StartServer();
  ASSERT_EQ(HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("12", "6.0.121.3")).status, 200);
  ASSERT_EQ(HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("99", "6.0.121.3")).status, 200);
  ASSERT_EQ(HttpPost(ServiceUrl("GetUpgradeList"), ListBody("6.0.121.3 x")).status, 200);
  ASSERT_EQ(m_server.Stop(), 0);
  const std::string log = m_server.Log();
  const std::string total = std::to_string(FileReplyBytes("4711", "6.0.122.3", m_sp1).size());
  EXPECT_NE(log.find(" 200 GetUpgradeFile updateversion=6.0.121.3 TableID=12 result=\"ACCEPTED\" bytes=" + total + " ms="),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("TableID=99 result=\"refused: unknown update\""), std::string::npos) << log;
  // Client text cannot break the line.
  EXPECT_NE(log.find("GetUpgradeList updateversion=6.0.121.3\\x20x TableID=- result=\"ACCEPTED rows=0\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("127.0.0.1:"), std::string::npos);
}

TEST_F(UpdateServerTest, MetricsOnTheAdminAddressOnlyWhenAsked) {
  StartServer({"--admin", "127.0.0.1:0"});
  const size_t list = List("6.0.121.3").body.size();
  const size_t file = HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("12", "6.0.121.3")).body.size();
  const size_t missing = HttpPost(m_server.Url("/other.asp"), ListBody("6.0.121.3")).body.size();
  const std::string log = m_server.Log();
  const size_t at = log.find("metrics at http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string url = log.substr(at + 11, log.find('\n', at) - at - 11);
  const HttpReply metrics = HttpRequest("GET", url, "", {});
  ASSERT_EQ(metrics.status, 200);
  for (const std::string& line :
       {std::string("quon_requests_total{function=\"GetUpgradeList\",status=\"200\"} 1\n"),
        std::string("quon_requests_total{function=\"GetUpgradeFile\",status=\"200\"} 1\n"),
        std::string("quon_requests_total{function=\"-\",status=\"404\"} 1\n"),
        std::string("quon_errors_total{kind=\"not-found\"} 1\n"),
        "quon_response_bytes_total " + std::to_string(list + file + missing) + "\n",
        std::string("quon_downloads_running 0\n"), std::string("quon_stats_records_lost_total 0\n")})
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
  // Not on the service's own address, and not at all unless asked for.
  EXPECT_EQ(HttpRequest("GET", m_server.Url("/metrics"), "", {}).status, 404);
  ServerProcess plain;
  ASSERT_TRUE(plain.Start(m_root.Root().string())) << plain.Error();
  EXPECT_EQ(plain.Log().find("metrics at"), std::string::npos);
}

TEST_F(UpdateServerTest, HangupReloadsAGoodCatalogAndKeepsTheOldOneOtherwise) {
  StartServer();
  std::string catalog = kCatalog;
  catalog.replace(catalog.find("name = Patch A"), 14, "name = Patch C");
  WriteFile(m_root.Path("catalog.ini"), catalog);
  m_server.Signal(SIGHUP);
  std::string body;
  for (int i = 0; i < 200 && body.find("Patch%20C") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    body = List("6.0.121.3").body;
  }
  EXPECT_NE(body.find("Patch%20C"), std::string::npos);

  WriteFile(m_root.Path("catalog.ini"), "[update 1]\nname = broken\n");
  m_server.Signal(SIGHUP);
  std::string log;
  for (int i = 0; i < 200 && log.find("not reloaded") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = m_server.Log();
  }
  EXPECT_NE(log.find("catalog.ini:1: update 1 has no 'posted'"), std::string::npos) << log;
  EXPECT_NE(List("6.0.121.3").body.find("Patch%20C"), std::string::npos);
}

TEST_F(UpdateServerTest, ServesTheSameBytesOverTlsToClientsThatTrustItsCertificate) {
  TempDir pki, otherPki;
  ASSERT_TRUE(MakeTestTlsCertificates(pki.Root().string()));
  ASSERT_TRUE(MakeTestTlsCertificates(otherPki.Root().string()));
  StartServer({"--tls-cert", pki.Path("server.pem"), "--tls-key", pki.Path("server-key.pem")});
  std::string url = ServiceUrl("GetUpgradeFile");
  ASSERT_EQ(url.rfind("http://", 0), 0u);
  url.insert(4, "s");
  const std::vector<std::string> headers = {"Content-Type: application/x-quon-encoded", "Expect:"};

  HttpReply reply = HttpRequest("POST", url, FileBody("12", "6.0.121.3"), headers, true, pki.Path("ca.pem"));
  ASSERT_EQ(reply.status, 200) << reply.error;
  EXPECT_TRUE(reply.body == FileReplyBytes("4711", "6.0.122.3", m_sp1));

  // A client that trusts another authority gets no reply, and neither does
  // one speaking plain HTTP to the TLS port.
  reply = HttpRequest("POST", url, FileBody("12", "6.0.121.3"), headers, true, otherPki.Path("ca.pem"));
  EXPECT_EQ(reply.status, 0);
  EXPECT_NE(reply.error.find("certificate"), std::string::npos) << reply.error;
  EXPECT_EQ(HttpPost(ServiceUrl("GetUpgradeFile"), FileBody("12", "6.0.121.3")).status, 0);
  // TLS 1.2 and 1.3 only.
  for (const auto& [version, handshake] : {std::pair{"-tls1", 1}, {"-tls1_1", 1}, {"-tls1_2", 0}, {"-tls1_3", 0}}) {
    const RunResult run = RunProgram(
        {"/bin/sh", "-c",
         "openssl s_client -connect 127.0.0.1:" + std::to_string(m_server.Port()) + " " + version + " </dev/null"});
    EXPECT_EQ(run.status, handshake) << version << "\n" << run.output;
  }
}

TEST(UpdateServerStart, RefusesATlsCertificateOrKeyThatDoesNotLoad) {
  TempDir root, pki;
  WriteFile(root.Path("catalog.ini"), "");
  ASSERT_TRUE(MakeTestTlsCertificates(pki.Root().string()));
  const std::string server = QUON_SERVER_BIN;
  for (const auto& [cert, key] : {std::pair{pki.Path("server.pem"), pki.Path("ca-key.pem")},
                                  std::pair{pki.Path("server.csr"), pki.Path("server-key.pem")}}) {
    RunResult run = RunProgram(
        {server, "--root", root.Root().string(), "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("cannot use the TLS certificate"), std::string::npos) << run.output;
  }
  EXPECT_EQ(RunProgram({server, "--root", root.Root().string(), "--tls-cert", pki.Path("server.pem")}).status, 2);
}

TEST(UpdateServerStart, RefusesABadCatalogNamingFileLineAndProblem) {
  TempDir root;
  WriteFile(root.Path("a.cab"), "x");
  WriteFile(root.Path("catalog.ini"),
            "[update 1]\nposted = 2026-02-30\nname = A;B\ndescription = d\napplies-to = 6.0.121.3\n"
            "archive = ../etc/passwd\nbrings = 6.0.122\ncolour = blue\n");
  RunResult run = RunProgram({QUON_SERVER_BIN, "--root", root.Root().string(), "--listen", "127.0.0.1:0"});
  EXPECT_EQ(run.status, 1);
  const std::string file = root.Path("catalog.ini");
  for (const std::string& expected :
       {file + ":2: bad posting date '2026-02-30'", file + ":3: 'name' must not contain ';'",
        file + ":6: archive '../etc/passwd' must not contain '..'", file + ":7: bad version '6.0.122'",
        file + ":8: unknown key 'colour'"})
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
  EXPECT_EQ(run.output.find("listening on"), std::string::npos);

  // No catalog at all; bad arguments.
  TempDir empty;
  run = RunProgram({QUON_SERVER_BIN, "--root", empty.Root().string(), "--listen", "127.0.0.1:0"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(empty.Path("catalog.ini")), std::string::npos) << run.output;
  EXPECT_EQ(RunProgram({QUON_SERVER_BIN, "--listen", "127.0.0.1:0"}).status, 2);

  // A port in use by another server is not shared.
  WriteFile(empty.Path("catalog.ini"), "");
  ServerProcess first;
  ASSERT_TRUE(first.Start(empty.Root().string())) << first.Error();
  run = RunProgram({QUON_SERVER_BIN, "--root", empty.Root().string(), "--listen", "127.0.0.1:" + std::to_string(first.Port())});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("cannot listen on 127.0.0.1:" + std::to_string(first.Port())), std::string::npos) << run.output;
  EXPECT_EQ(RunProgram({QUON_SERVER_BIN, "--root", empty.Root().string(), "--listen", "nowhere"}).status, 2);
}

TEST(UpdateServerDemo, ServesTheDemoCatalogWithArchivesThatUnpack) {
  ServerProcess server;
  ASSERT_TRUE(server.Start(QUON_DEMO_DIR)) << server.Error();
  HttpReply list = HttpPost(server.Url(std::string(kUpdatePath) + "?GetUpgradeList"), ListBody("6.0.121.3"));
  FieldMap fields;
  DecodeFields(std::string_view(list.body).substr(14), fields, false);
  EXPECT_EQ(fields.Get("status"), "ACCEPTED");
  EXPECT_EQ(fields.Get("rows"), "2");
  std::vector<std::string> cells;
  ASSERT_EQ(SplitFields(fields.Get("dbdata"), cells, ";"), 8u);
  EXPECT_EQ(cells[0] + " " + cells[4], "101 102");

  const std::string archive = ReadFile(std::string(QUON_DEMO_DIR) + "/quon-6.0-sp1.cab");
  HttpReply file = HttpPost(server.Url(std::string(kUpdatePath) + "?GetUpgradeFile"), FileBody("101", "6.0.121.3"));
  EXPECT_TRUE(file.body == FileReplyBytes("4711", "6.0.122.3", archive)) << file.body.substr(0, 200);

  TempDir out;
  WriteFile(out.Path("update101.0000"), archive);
  RunResult unpack = RunProgram({"/usr/bin/cabextract", "-q", "-d", out.Path("dir"), out.Path("update101.0000")});
  ASSERT_EQ(unpack.status, 0) << unpack.output;
  const std::string list101 = ReadFile(out.Path("dir/Update.List"));
  EXPECT_NE(list101.find("[MAIN]\r\n"), std::string::npos) << list101;
  EXPECT_NE(list101.find("[M3]\r\n"), std::string::npos) << list101;
  EXPECT_EQ(ReadFile(out.Path("dir/Composites.mlib")), ReadFile(std::string(QUON_DEMO_SOURCE_DIR) + "/sp1/Materials/Composites.mlib"));
}

}  // namespace
}  // namespace quon::test
