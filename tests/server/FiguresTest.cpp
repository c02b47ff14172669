// The figures: what the server records of each request, what a database
// that is down costs, and the report as a browser shows it for a known
// request log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "Identity.h"
#include "Report.h"
#include "Stats.h"
#include "base/BuildConfig.h"
#include "support/PrivateXvfb.h"
#include "support/ServerFarm.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::server {
namespace {

using namespace std::chrono_literals;
using test::Installation;

const char kCatalog[] =
    "[update 101]\nposted = 2026-03-01\nname = Service Pack 1\ndescription = D\napplies-to = 6.0.121.3\n"
    "archive = sp1.cab\nbrings = 6.0.122.3\n"
    "[update 102]\nposted = 2026-03-01\nname = Materials\ndescription = D\napplies-to = 6.0.121.3\n"
    "archive = sp1.cab\nbrings = 6.0.121.4\n";

std::vector<StatsEvent> ReadAll(StatsStore& store) {
  std::vector<StatsEvent> events;
  std::string error;
  EXPECT_TRUE(store.Open(error) && store.Read([&](const StatsEvent& e) { events.push_back(e); }, error)) << error;
  return events;
}

TEST(Figures, TheServerRecordsEveryListRequestAndDownload) {
  test::TempDir root;
  const std::string archive = test::RandomBytes(16 << 20, 5);
  root.Write("sp1.cab", archive);
  root.Write("catalog.ini", kCatalog);
  const std::string db = root.Path("figures.sqlite");
  test::ServerProcess server;
  ASSERT_TRUE(server.Start(root.Root().string(), {"--stats", db, "--replica", "east-1"})) << server.Error();
  const std::string service = server.Url(kUpdatePath);
  const Installation a{"4711", "NET", "6.0"}, b{"0", "", ""};
  ASSERT_EQ(test::HttpPost(service + "?GetUpgradeList", test::ListBody("6.0.121.3", "1", a)).status, 200);
  ASSERT_EQ(test::HttpPost(service + "?GetUpgradeList", test::ListBody("not a version", "1", b)).status, 200);
  ASSERT_EQ(test::HttpPost(service + "?GetUpgradeFile", test::FileBody("101", "6.0.121.3", "1", a)).body.size(),
            test::FileReplyBytes("1", "6.0.122.3", archive).size());
  // A refusal is no download.
  ASSERT_EQ(test::HttpPost(service + "?GetUpgradeFile", test::FileBody("999", "6.0.121.3", "1", a)).status, 200);
  {
    // A download that the client gives up after its first bytes.
    const int fd = test::ConnectLoopback(server.Port(), "127.0.0.1", 4096);
    ASSERT_GE(fd, 0);
    const std::string request = test::RawPost("", test::FileBody("101", "6.0.121.3", "1", b));
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    char some[1000];
    ASSERT_GT(recv(fd, some, sizeof some, 0), 0);
    close(fd);
  }
  ASSERT_EQ(server.Stop(), 0);  // writes what is pending

  auto store = MakeStatsStore(db);
  const auto events = ReadAll(*store);
  ASSERT_EQ(events.size(), 4u) << server.Log();
  const std::string hashA = Identity{a.keyId, a.keyType, a.keyVersion}.Hash();
  const std::string hashB = Identity{b.keyId, b.keyType, b.keyVersion}.Hash();
  // Requests a millisecond apart may be read back in either order.
  auto find = [&](StatsEvent::Kind kind, const std::string& identity) {
    for (const auto& e : events)
      if (e.kind == kind && e.identity == identity) return e;
    return StatsEvent{};
  };
  const StatsEvent listA = find(StatsEvent::kList, hashA), listB = find(StatsEvent::kList, hashB);
  EXPECT_EQ(listA.installed + " " + listA.offered + " " + listA.replica, "6.0.121.3 101,102 east-1");
  EXPECT_EQ(listB.installed + "|" + listB.offered, "|");
  const StatsEvent complete = find(StatsEvent::kDownload, hashA), cut = find(StatsEvent::kDownload, hashB);
  EXPECT_EQ(complete.updateId, 101u);
  EXPECT_EQ(complete.brings, "6.0.122.3");
  EXPECT_TRUE(complete.complete);
  EXPECT_EQ(complete.bytes, archive.size());
  EXPECT_EQ(complete.size, archive.size());
  EXPECT_EQ(cut.size, archive.size());
  EXPECT_FALSE(cut.complete);
  EXPECT_LT(cut.bytes, archive.size());
}

// A database that fails until told otherwise.
class FlakyStore : public StatsStore {
 public:
  std::atomic<bool> down{true};
  std::atomic<size_t> stored{0};
  bool Open(std::string& error) override { return !down || (error = "connection refused", false); }
  bool Write(const std::vector<StatsEvent>& events, std::string& error) override {
    if (down) return (error = "connection refused", false);
    stored += events.size();
    return true;
  }
  bool Read(const std::function<void(const StatsEvent&)>&, std::string&) override { return true; }
  bool Query(const std::string&, const std::function<void(const std::vector<std::string>&)>&, std::string&) override {
    return true;
  }
  std::string Describe() const override { return "flaky"; }
};

TEST(Figures, ADatabaseThatIsDownCostsRecordsNotRequests) {
  // Records wait in memory up to the bound while the database is down; the
  // rest are counted as lost; once it is back, the kept ones are written.
  auto flaky = std::make_unique<FlakyStore>();
  FlakyStore* store = flaky.get();
  std::vector<std::string> log;
  std::mutex logMutex;
  {
    StatsRecorder recorder(
        std::move(flaky),
        [&](const std::string& line) {
          std::lock_guard<std::mutex> lock(logMutex);
          log.push_back(line);
        },
        5);
    for (int i = 0; i < 8; ++i) recorder.Record(StatsEvent{});
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(recorder.Lost(), 3u);
    store->down = false;
    for (int i = 0; i < 300 && recorder.Written() < 5; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(recorder.Written(), 5u);
    EXPECT_EQ(store->stored, 5u);
  }
  std::lock_guard<std::mutex> lock(logMutex);
  std::string all;
  for (const auto& line : log) all += line + "\n";
  EXPECT_NE(all.find("stats: cannot open flaky: connection refused"), std::string::npos) << all;
  EXPECT_NE(all.find("3 records lost in all"), std::string::npos) << all;

  // The real server with a database nobody answers for: requests are
  // answered as ever, and the log says what was lost.
  test::TempDir root;
  root.Write("sp1.cab", "MSCF");
  root.Write("catalog.ini", kCatalog);
  test::ServerProcess server;
  ASSERT_TRUE(server.Start(root.Root().string(), {"--stats", "postgresql://quon@127.0.0.1:1/figures"}))
      << server.Error();
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(
        test::HttpPost(server.Url(std::string(kUpdatePath) + "?GetUpgradeList"), test::ListBody("6.0.121.3")).status,
        200);
  ASSERT_EQ(server.Stop(), 0);
  EXPECT_NE(server.Log().find("stats: cannot open PostgreSQL postgresql://quon@127.0.0.1:1/figures"), std::string::npos)
      << server.Log();
  EXPECT_NE(server.Log().find("stats: 20 records lost in all"), std::string::npos) << server.Log();
}

// A known request log over several days, as the database holds it.
std::vector<StatsEvent> KnownLog() {
  const int64_t day1 = 1772323200000;  // 2026-03-01T00:00:00Z
  const int64_t dayMs = 86400000;
  auto list = [](int64_t at, const char* who, const char* version, const char* offered) {
    StatsEvent e;
    e.atMs = at;
    e.identity = who;
    e.installed = version;
    e.offered = offered;
    e.replica = "r1";
    return e;
  };
  auto download = [](int64_t at, const char* who, uint32_t update, const char* brings, bool complete) {
    StatsEvent e;
    e.kind = StatsEvent::kDownload;
    e.atMs = at;
    e.identity = who;
    e.installed = "6.0.121.3";
    e.updateId = update;
    e.brings = brings;
    e.size = 1000;
    e.bytes = complete ? 1000 : 10;
    e.complete = complete;
    e.replica = "r2";
    return e;
  };
  return {
      list(day1 + 1000, "a", "6.0.121.3", "101,102"),
      list(day1 + 2000, "b", "6.0.121.3", "101,102"),
      list(day1 + 3000, "c", "6.0.121.3", "101,102"),
      list(day1 + 3500, "c", "6.0.121.3", "101,102"),  // the same installation again that day
      download(day1 + 4000, "a", 101, "6.0.122.3", true),
      download(day1 + 5000, "b", 101, "6.0.122.3", false),
      list(day1 + dayMs, "a", "6.0.122.3", ""),  // a has installed 101
      download(day1 + dayMs + 1000, "b", 101, "6.0.122.3", true),
      list(day1 + dayMs + 2000, "c", "6.0.121.3", "101,102"),
      list(day1 + 2 * dayMs, "b", "6.0.122.3", ""),  // b has installed 101
      download(day1 + 2 * dayMs + 1000, "c", 102, "6.0.121.4", true),
      list(day1 + 40 * dayMs, "d", "6.0.122.3", ""),  // a, b and c have not asked for 30 days
  };
}

std::string ReportOf(StatsStore& store, const std::vector<StatsEvent>& events, const std::set<std::string>& named) {
  std::string error;
  Figures figures;
  EXPECT_TRUE(store.Open(error) && store.Write(events, error) && ComputeFigures(store, named, figures, error)) << error;
  return RenderReport(figures, {}, "now");
}

TEST(Report, PostgreSqlGivesTheFiguresSqliteGives) {
  if (!test::PostgresServer::Missing().empty()) GTEST_SKIP() << test::PostgresServer::Missing();
  test::PostgresServer postgres;
  ASSERT_TRUE(postgres.Running()) << postgres.Problem();
  test::TempDir dir;
  auto sqlite = MakeStatsStore(dir.Path("figures.sqlite"));
  auto pg = MakeStatsStore(postgres.Uri());
  EXPECT_EQ(ReportOf(*pg, KnownLog(), {}), ReportOf(*sqlite, KnownLog(), {}));
}

TEST(Report, VersionsNoCatalogNamesBeyondTheMostCommonFewAreOther) {
  // 30 installations on versions the catalog names, and 100 invented ones
  // by one installation each but for 7.0.0.1 .. 7.0.0.6, claimed by more.
  std::vector<StatsEvent> events;
  auto list = [&](const std::string& who, const std::string& version) {
    StatsEvent e;
    e.atMs = 1772323200000 + static_cast<int64_t>(events.size());
    e.identity = who;
    e.installed = version;
    events.push_back(e);
  };
  for (int i = 0; i < 30; ++i) list("n" + std::to_string(i), i % 2 ? "6.0.121.3" : "6.0.122.3");
  for (int i = 0; i < 100; ++i) list("x" + std::to_string(i), "9.9.9." + std::to_string(i));
  for (int v = 1; v <= 6; ++v)
    for (int i = 0; i < 10 - v; ++i)
      list("s" + std::to_string(v) + "-" + std::to_string(i), "7.0.0." + std::to_string(v));
  test::TempDir dir;
  auto store = MakeStatsStore(dir.Path("figures.sqlite"));
  const std::string html = ReportOf(*store, events, {"6.0.121.3", "6.0.122.3", "5.0.0.0"});
  for (const char* row :
       {"base:6.0.121.3\">15<", "base:6.0.122.3\">15<", "base:7.0.0.1\">9<", "base:7.0.0.5\">5<", "base:other\">104<"})
    EXPECT_NE(html.find(row), std::string::npos) << row;
  EXPECT_EQ(html.find("7.0.0.6"), std::string::npos);
  EXPECT_EQ(html.find("9.9.9."), std::string::npos);
}

TEST(ReportInABrowser, ShowsTheFiguresOfAKnownRequestLog) {
  test::TempDir dir;
  dir.Write("root/catalog.ini", kCatalog);
  dir.Write("root/sp1.cab", "MSCF");
  const std::string db = dir.Path("root/stats.sqlite");
  {
    auto store = MakeStatsStore(db);
    std::string error;
    ASSERT_TRUE(store->Open(error) && store->Write(KnownLog(), error)) << error;
  }
  const std::string html = dir.Path("report.html");
  test::RunResult run = test::RunProgram({QUON_SERVER_BIN, "report", "--root", dir.Path("root"), "-o", html});
  ASSERT_EQ(run.status, 0) << run.output;

  if (std::string(QUON_REPORT_SNAPSHOT_BIN).empty()) GTEST_SKIP() << "built without the desktop front end (WebKitGTK)";
  test::PrivateXvfb xvfb("1024x768x24");
  ASSERT_FALSE(xvfb.Name().empty()) << "Xvfb did not start";
  setenv("DISPLAY", xvfb.Name().c_str(), 1);
  run = test::RunProgram({QUON_REPORT_SNAPSHOT_BIN, html, QUON_REPORT_PNG}, 120);
  unsetenv("DISPLAY");
  ASSERT_EQ(run.status, 0) << run.output;

  std::map<std::string, std::string> shown;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) shown[line.substr(0, eq)] = line.substr(eq + 1);
  }
  // By installations: c asked twice on the first day and counts once; b's
  // cut download counts as downloaded, not completed; an installation counts
  // as installed on the day it first reports the version the update brings.
  const std::map<std::string, std::string> expected = {
      {"update:101:2026-03-01:offered", "3"},
      {"update:101:2026-03-01:downloaded", "2"},
      {"update:101:2026-03-01:completed", "1"},
      {"update:101:2026-03-01:installed", "0"},
      {"update:101:2026-03-02:offered", "1"},
      {"update:101:2026-03-02:downloaded", "1"},
      {"update:101:2026-03-02:completed", "1"},
      {"update:101:2026-03-02:installed", "1"},
      {"update:101:2026-03-03:installed", "1"},
      {"update:101:total:offered", "3"},
      {"update:101:total:downloaded", "2"},
      {"update:101:total:completed", "2"},
      {"update:101:total:installed", "2"},
      {"update:102:total:offered", "3"},
      {"update:102:total:downloaded", "1"},
      {"update:102:total:completed", "1"},
      {"update:102:total:installed", "0"},
      {"base:6.0.122.3", "1"},
      {"charts", "3"},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(shown[key], value) << key << "\n" << run.output;
  EXPECT_EQ(shown.count("base:6.0.121.3"), 0u) << "c has not asked for 30 days";
  // The page names the updates from the catalog.
  EXPECT_NE(test::ReadFile(html).find("Update 101: Service Pack 1 (brings 6.0.122.3)"), std::string::npos);
}

}  // namespace
}  // namespace quon::server
