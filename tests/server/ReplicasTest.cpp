// The deployment recipe on loopback: three replicas on one catalog, sharing
// a private PostgreSQL for the figures, behind nginx with the shipped
// configuration (TLS ends there). A few seconds of list requests and
// downloads through nginx, beside clients that read their downloads very
// slowly; one replica is killed halfway.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <thread>

#include "Stats.h"
#include "base/BuildConfig.h"
#include "support/RequiredTools.h"
#include "support/ServerFarm.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;

// A download read at 32 KiB/s (it would take minutes) until
// `stop`, from 127.0.0.3 (nginx limits the connections of one address);
// true when it was still running then.
bool CrawlingDownload(const std::string& url, const std::string& body, const std::string& caFile,
                      const std::atomic<bool>& stop) {
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_INTERFACE, "127.0.0.3");
  curl_easy_setopt(curl, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(32 * 1024));
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t n, void*) { return size * n; });
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stop);
  curl_easy_setopt(
      curl, CURLOPT_XFERINFOFUNCTION, +[](void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
      });
  const CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return rc == CURLE_ABORTED_BY_CALLBACK;
}

size_t CountLines(const std::string& text, const std::string& marker) {
  size_t n = 0;
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) ++n;
  return n;
}

TEST(Replicas, BehindNginxSharingPostgresTheyOutliveOneKilledReplica) {
  const std::string missing = PostgresServer::Missing() + NginxFront::Missing();
  if (!missing.empty()) QUON_SKIP_WITHOUT_TOOL(missing);
  PostgresServer postgres;
  ASSERT_TRUE(postgres.Running()) << postgres.Problem();

  TempDir root, pki;
  const std::string archive = RandomBytes(4 << 20, 9);
  root.Write("a.cab", archive);
  root.Write("catalog.ini",
             "[update 7]\nposted = 2026-05-04\nname = N\ndescription = D\napplies-to = 6.0.121.3\n"
             "archive = a.cab\nbrings = 6.0.122.3\n");
  ASSERT_TRUE(MakeTestTlsCertificates(pki.Root().string()));
  ServerProcess replicas[3];
  std::vector<int> ports;
  for (int i = 0; i < 3; ++i) {
    // Four event-loop threads each: fewer in all than the clients below that
    // crawl, which hold none of them.
    ASSERT_TRUE(replicas[i].Start(root.Root().string(), {"--stats", postgres.Uri(), "--per-address", "0", "--threads",
                                                         "4", "--replica", "r" + std::to_string(i + 1)}))
        << replicas[i].Error();
    ports.push_back(replicas[i].Port());
  }
  NginxFront nginx(QUON_NGINX_RECIPE, ports, pki.Path("server.pem"), pki.Path("server-key.pem"));
  ASSERT_TRUE(nginx.Running()) << nginx.Problem();
  const std::string url = "https://127.0.0.1:" + std::to_string(nginx.Port()) + std::string(kUpdatePath);
  const std::string expectedFile = FileReplyBytes("4711", "6.0.122.3", archive);

  // Each client asks again as soon as it has its answer, over a new
  // connection, as the updater does.
  std::atomic<bool> stop{false}, killed{false};
  std::atomic<int> listsAnswered{0}, listsAfterKill{0}, listsFailed{0}, downloadsDone{0}, downloadsFailed{0};
  std::mutex errorsMutex;
  std::map<std::string, int> errors;
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(errorsMutex);
    ++errors[what];
  };
  std::vector<std::thread> clients;
  // Slow clients, as many as the replicas have threads: the archive goes
  // to them at their pace; a replica holds each download as a connection,
  // not as a thread.
  std::atomic<int> crawling{0};
  for (int i = 0; i < 12; ++i) {
    clients.emplace_back([&, i] {
      const Installation who{"20" + std::to_string(i), "std", "6"};
      crawling +=
          CrawlingDownload(url + "?GetUpgradeFile", FileBody("7", "6.0.121.3", "4711", who), pki.Path("ca.pem"), stop);
    });
  }
  // List clients from addresses of their own, each at the rate nginx
  // grants one address (5 a second).
  for (int i = 0; i < 6; ++i) {
    clients.emplace_back([&, i] {
      const Installation who{std::to_string(i), "std", "6"};
      while (!stop) {
        std::this_thread::sleep_for(200ms);
        HttpReply reply = HttpRequest("POST", url + "?GetUpgradeList", ListBody("6.0.121.3", "1", who), {"Expect:"},
                                      true, pki.Path("ca.pem"), 20, "127.0.0." + std::to_string(10 + i));
        if (reply.status == 200 && OfferedIds(reply.body) == std::vector<std::string>{"7"}) {
          ++listsAnswered;
          if (killed) ++listsAfterKill;
        } else {
          ++listsFailed;
          fail("list: " + std::to_string(reply.status) + " " + reply.error);
        }
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    clients.emplace_back([&, i] {
      const Installation who{"10" + std::to_string(i), "std", "6"};
      while (!stop) {
        HttpReply reply = HttpRequest("POST", url + "?GetUpgradeFile", FileBody("7", "6.0.121.3", "4711", who),
                                      {"Expect:"}, true, pki.Path("ca.pem"), 30);
        if (reply.status == 200 && reply.body == expectedFile) {
          ++downloadsDone;
        } else {
          ++downloadsFailed;
          fail("download: " + std::to_string(reply.status) + " " + reply.error);
        }
      }
    });
  }
  std::this_thread::sleep_for(2s);
  replicas[1].Signal(SIGKILL);
  killed = true;
  std::this_thread::sleep_for(3s);
  stop = true;
  for (auto& t : clients) t.join();

  std::cout << "through nginx: " << listsAnswered << " list requests answered (" << listsAfterKill
            << " after r2 was killed), " << listsFailed << " failed; " << downloadsDone << " downloads complete, "
            << downloadsFailed << " failed; " << crawling << " of 12 slow downloads still running at the end\n";
  for (const auto& [what, n] : errors) std::cout << "  " << n << " x " << what << "\n";
  EXPECT_EQ(listsFailed, 0) << "only downloads running on the killed replica may fail";
  EXPECT_LE(downloadsFailed, 2) << "more downloads failed than were running on the killed replica";
  EXPECT_GT(listsAfterKill, 10);
  EXPECT_GT(downloadsDone, 0);
  EXPECT_EQ(crawling, 12) << "slow downloads ended early";
  // nginx passes on nothing but POST.
  EXPECT_EQ(HttpRequest("GET", url, "", {}, false, pki.Path("ca.pem"), 20).status, 403);

  // The survivors write what they recorded when they stop: PostgreSQL then
  // holds one record for every request their logs show as served.
  std::map<std::string, size_t> logged;
  for (int i : {0, 2}) {
    ASSERT_EQ(replicas[i].Stop(), 0);
    logged["r" + std::to_string(i + 1)] = CountLines(replicas[i].Log(), " result=\"ACCEPTED");
  }
  std::map<std::string, size_t> recorded;
  auto store = server::MakeStatsStore(postgres.Uri());
  std::string error;
  ASSERT_TRUE(store->Open(error) && store->Read([&](const server::StatsEvent& e) { ++recorded[e.replica]; }, error))
      << error;
  EXPECT_EQ(recorded["r1"], logged["r1"]);
  EXPECT_EQ(recorded["r3"], logged["r3"]);
  EXPECT_GT(recorded["r1"], 0u);
  std::cout << "figures in PostgreSQL: r1 " << recorded["r1"] << ", r2 (killed) " << recorded["r2"] << ", r3 "
            << recorded["r3"] << "\n";
}

}  // namespace
}  // namespace quon::test
