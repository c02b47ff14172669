// A release as the vendor makes it: quon-catalog packs the archive and adds
// the update with a small rollout, raises it, and pauses it while a
// download is running; the server follows each change on SIGHUP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Catalog.h"
#include "Stats.h"
#include "base/BuildConfig.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;

// How many of 200 installations are offered update 5.
int OfferedOf200(const ServerProcess& server) {
  int offered = 0;
  for (int i = 0; i < 200; ++i) {
    const Installation who{std::to_string(i), "NET", "6.0"};
    const auto ids = OfferedIds(
        HttpPost(server.Url(std::string(kUpdatePath) + "?GetUpgradeList"), ListBody("6.0.121.3", "1", who)).body);
    offered += std::find(ids.begin(), ids.end(), "5") != ids.end();
  }
  return offered;
}

// Sends SIGHUP and waits for the server to say it has read the catalog.
void Reload(ServerProcess& server, int& reloads) {
  server.Signal(SIGHUP);
  ++reloads;
  for (int i = 0; i < 200; ++i) {
    const std::string log = server.Log();
    size_t n = 0;
    for (size_t at = log.find("catalog reloaded"); at != std::string::npos; at = log.find("catalog reloaded", at + 1))
      ++n;
    if (static_cast<int>(n) >= reloads) return;
    std::this_thread::sleep_for(25ms);
  }
  FAIL() << "no reload in the log:\n" << server.Log();
}

TEST(Release, PackAddRaiseAndPauseWithTheCatalogTool) {
  TempDir root, src;
  src.Write("QSolver.dll", RandomBytes(3 << 20, 4));
  root.Write("catalog.ini", "# the vendor's catalog\n");
  const std::string tool = QUON_CATALOG_BIN;
  RunResult run = RunProgram({tool,
                              "add",
                              "--root",
                              root.Root().string(),
                              "--id",
                              "5",
                              "--applies-to",
                              "6.0.121.3",
                              "--brings",
                              "6.0.122.3",
                              "--archive",
                              "sp/sp1.cab",
                              "--rollout",
                              "10%",
                              "--posted",
                              "2026-05-04",
                              "--",
                              "-C",
                              src.Root().string(),
                              "--name",
                              "Service Pack 1",
                              "--description",
                              "Solver fixes",
                              "QSolver.dll"});
  ASSERT_EQ(run.status, 0) << run.output;
  std::vector<std::string> errors;
  auto catalog = server::Catalog::Load(root.Root().string(), errors);
  ASSERT_TRUE(catalog) << errors.front();
  ASSERT_EQ(catalog->Entries().size(), 1u);
  EXPECT_EQ(catalog->Entries()[0].name, "Service Pack 1");
  EXPECT_EQ(catalog->Entries()[0].rolloutBasisPoints, 1000u);
  EXPECT_EQ(ReadFile(root.Path("sp/sp1.cab")).substr(0, 4), "MSCF");

  // Refused without any change: a number already listed, a bad version
  // (the archive it packed is taken back), a missing update.
  const std::string before = ReadFile(root.Path("catalog.ini"));
  for (const auto& [args, what] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--id", "5", "--brings", "6.0.122.3", "--archive", "sp/sp1.cab"}, "update 5 is already listed"},
           {{"--id", "6", "--brings", "6.0.122", "--archive", "sp/sp2.cab"}, "bad version '6.0.122'"}}) {
    std::vector<std::string> argv = {tool, "add", "--root", root.Root().string(), "--applies-to", "6.0.121.3"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--", "-C", src.Root().string(), "--name", "X", "--description", "Y", "QSolver.dll"});
    run = RunProgram(argv);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(what), std::string::npos) << run.output;
  }
  EXPECT_FALSE(root.Exists("sp/sp2.cab"));
  EXPECT_EQ(RunProgram({tool, "set", "--root", root.Root().string(), "--id", "9", "--paused", "yes"}).status, 1);
  EXPECT_EQ(ReadFile(root.Path("catalog.ini")), before);

  ServerProcess server;
  ASSERT_TRUE(server.Start(root.Root().string())) << server.Error();
  int reloads = 0;
  const int at10 = OfferedOf200(server);
  EXPECT_NEAR(at10, 20, 15);
  ASSERT_EQ(RunProgram({tool, "set", "--root", root.Root().string(), "--id", "5", "--rollout", "60%"}).status, 0);
  Reload(server, reloads);
  const int at60 = OfferedOf200(server);
  EXPECT_NEAR(at60, 120, 30);

  // A download under way when the update is paused runs to its end; new
  // lists no longer offer it, new downloads are refused.
  const int fd = ConnectLoopback(server.Port(), "127.0.0.1", 4096);
  ASSERT_GE(fd, 0);
  const Installation all{"1", "NET", "6.0"};
  ASSERT_EQ(RunProgram({tool, "set", "--root", root.Root().string(), "--id", "5", "--rollout", "100%"}).status, 0);
  Reload(server, reloads);
  const std::string body = FileBody("5", "6.0.121.3", "4711", all);
  const std::string request = "POST " + std::string(kUpdatePath) +
                              " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  char block[65536];
  size_t received = static_cast<size_t>(std::max<ssize_t>(recv(fd, block, sizeof block, 0), 0));
  ASSERT_EQ(RunProgram({tool, "set", "--root", root.Root().string(), "--id", "5", "--paused", "yes"}).status, 0);
  Reload(server, reloads);
  EXPECT_EQ(OfferedOf200(server), 0);
  EXPECT_EQ(
      HttpPost(server.Url(std::string(kUpdatePath) + "?GetUpgradeFile"), FileBody("5", "6.0.121.3", "1", all)).body,
      "The update \"Service Pack 1\" cannot be downloaded at the moment. Please try again later.");
  for (ssize_t n; (n = recv(fd, block, sizeof block, 0)) > 0;) received += static_cast<size_t>(n);
  close(fd);
  const size_t archive = ReadFile(root.Path("sp/sp1.cab")).size();
  EXPECT_GT(received, archive);
  EXPECT_NE(server.Log().find("TableID=5 result=\"ACCEPTED\" bytes="), std::string::npos) << server.Log();
  EXPECT_EQ(server.Log().find("(aborted)"), std::string::npos) << server.Log();
  EXPECT_NE(server.Log().find("result=\"refused: paused\""), std::string::npos);
}

// Runs at once change the catalog one after another: none loses another's
// update.
TEST(Release, CatalogToolsRunningAtOnceKeepEveryUpdate) {
  TempDir root;
  root.Write("catalog.ini", "");
  root.Write("a.cab", "MSCF");
  std::vector<std::thread> runs;
  std::atomic<int> added{0};
  for (int i = 1; i <= 8; ++i)
    runs.emplace_back([&, i] {
      added += RunProgram({QUON_CATALOG_BIN, "add", "--root", root.Root().string(), "--id", std::to_string(i),
                           "--applies-to", "6.0.121.3", "--brings", "6.0.122.3", "--archive", "a.cab", "--name", "N",
                           "--description", "D"})
                   .status == 0;
    });
  for (auto& r : runs) r.join();
  std::vector<std::string> errors;
  auto catalog = server::Catalog::Load(root.Root().string(), errors);
  ASSERT_TRUE(catalog);
  EXPECT_EQ(added, 8);
  EXPECT_EQ(catalog->Entries().size(), 8u);
}

// quon-catalog killed while quon-pack packs: quon-pack ends with it, and the
// same command run again adds the update, leaving no temporary behind.
TEST(Release, AnAddKilledWhilePackingCanBeRunAgain) {
  TempDir root, src;
  src.Write("big.dll", RandomBytes(96 << 20, 6));
  root.Write("catalog.ini", "");
  const std::vector<std::string> add = {
      QUON_CATALOG_BIN,    "add",      "--root",    root.Root().string(), "--id",       "9",      "--applies-to",
      "6.0.121.3",         "--brings", "6.0.122.3", "--archive",          "sp/big.cab", "--",     "-C",
      src.Root().string(), "--name",   "Big",       "--description",      "D",          "big.dll"};
  const pid_t pid = StartProcess(add, root.Path("first.log"));
  // Until quon-pack writes its temporary beside the archive.
  auto packing = [&] {
    for (const auto& e : std::filesystem::directory_iterator(root.Path("sp"), std::filesystem::directory_options{}))
      if (e.path().filename().string().rfind("big.cab.tmp", 0) == 0) return true;
    return false;
  };
  for (int i = 0; i < 400 && !(root.Exists("sp") && packing()); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(root.Exists("sp") && packing()) << ReadFile(root.Path("first.log"));
  StopProcess(pid, SIGKILL);
  std::this_thread::sleep_for(300ms);
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string cmdline = ReadFile((e.path() / "cmdline").string());
    EXPECT_EQ(cmdline.find(root.Path("sp/big.cab")), std::string::npos) << "quon-pack still runs: " << e.path();
  }
  const RunResult again = RunProgram(add);
  ASSERT_EQ(again.status, 0) << again.output;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(root.Path("sp"))) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"big.cab"});
  EXPECT_EQ(RunProgram({"/usr/bin/cabextract", "-t", root.Path("sp/big.cab")}).status, 0);
}

}  // namespace
}  // namespace quon::test
