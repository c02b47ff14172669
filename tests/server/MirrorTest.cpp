// The site mirror (quon-update-server --upstream): what it reads of its
// upstream and decides about its cache, as tables; then the real programs,
// a mirror in front of a real server (three identities, one fetch of the
// archive, a restart), in front of scripted upstreams (an old one that does
// not resume, hostile ones), with approved updates read again on SIGHUP,
// and with no upstream at all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>

#include "Identity.h"
#include "MirrorCache.h"
#include "MirrorWire.h"
#include "Stats.h"
#include "base/BuildConfig.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

using namespace server;
using namespace std::chrono_literals;

// ---- Tables ----

struct ApprovedCase {
  const char* name;
  const char* text;
  std::vector<uint32_t> approved;  // empty with `error`
  const char* error;               // part of the message, or null
};

class Approved : public ::testing::TestWithParam<ApprovedCase> {};

TEST_P(Approved, ReadsUpdateNumbersBlankLinesAndComments) {
  const ApprovedCase& c = GetParam();
  std::string error;
  const auto set = ParseApproved(c.text, "approved.txt", error);
  if (c.error) {
    EXPECT_FALSE(set);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  } else {
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(std::vector<uint32_t>(set->begin(), set->end()), c.approved);
  }
}

const ApprovedCase kApproved[] = {
    {"empty", "", {}, nullptr},
    {"numbers_comments_blanks", "# validated on 2026-03-02\n101\n\n  102  # hotfix\r\n\t\n", {101, 102}, nullptr},
    {"bounds", "0\n4294967295\n", {0, 4294967295u}, nullptr},
    {"byte_order_mark",
     "\xEF\xBB\xBF"
     "7\n",
     {7},
     nullptr},
    {"too_large", "101\n4294967296\n", {}, "approved.txt:2: '4294967296' is not an update number"},
    {"negative", "-5\n", {}, "approved.txt:1: '-5'"},
    {"two_on_a_line", "101 102\n", {}, "approved.txt:1: '101 102'"},
    {"a_name", "\n\nService Pack 1\n", {}, "approved.txt:3:"},
};

INSTANTIATE_TEST_SUITE_P(Mirror, Approved, ::testing::ValuesIn(kApproved),
                         [](const auto& info) { return std::string(info.param.name); });

std::string List(std::string_view dbdata, int rows) {
  return "GetUpgradeListcode=77&status=ACCEPTED&rows=" + std::to_string(rows) +
         "&cols=4&dbdata=" + PercentEncode(dbdata);
}

TEST(MirrorLists, ApprovedRowsAreKeptAndCountedAgainTheRestPassesUnchanged) {
  const std::string three = List("101;38412;A;a;102;38412;B;b;3000000000;38412;C;", 3);
  const ApprovedSet approved = {102, 3000000000u};
  struct Case {
    const char* name;
    std::string reply;
    const ApprovedSet* approved;
    std::optional<std::string> relayed;  // nullopt: refused as unreadable
    std::vector<uint32_t> listed;
  } cases[] = {
      {"all_without_approvals", three, nullptr, three, {101, 102, 3000000000u}},
      {"approved_rows_only", three, &approved, List("102;38412;B;b;3000000000;38412;C;", 2), {102, 3000000000u}},
      {"none_approved", List("101;38412;A;a", 1), &approved, List("", 0), {}},
      {"line_breaks_before_kept", "\r\n" + List("102;1;B;b", 1), &approved, "\r\n" + List("102;1;B;b", 1), {102}},
      {"an_empty_list", List("", 0), &approved, List("", 0), {}},
      {"a_text_for_the_user", "Service closed.", &approved, std::string("Service closed."), {}},
      {"rows_that_do_not_add_up", List("101;1;A;a;102", 2), &approved, std::nullopt, {}},
      {"unreadable_rows_pass_without_approvals", List("101;1;A;a;102", 2), nullptr, List("101;1;A;a;102", 2), {}},
      {"an_id_that_is_none", List("x;1;A;a", 1), &approved, std::nullopt, {}},
      {"no_rows_field",
       "GetUpgradeListcode=77&status=ACCEPTED&cols=4&dbdata=101%3B1%3BA%3Ba",
       &approved,
       std::nullopt,
       {}},
  };
  for (const Case& c : cases) {
    const auto relay = RelayListReply(c.reply, c.approved);
    ASSERT_EQ(relay.has_value(), c.relayed.has_value()) << c.name;
    if (!relay) continue;
    EXPECT_EQ(relay->reply, *c.relayed) << c.name;
    EXPECT_EQ(relay->listed, c.listed) << c.name;
  }
}

TEST(MirrorFileHeaders, TheUpstreamsFieldsStayInTheirOrderWithTheMirrorsPlaceAndDigest) {
  const std::string sha(64, 'c');
  struct Case {
    const char* name;
    std::string upstream;  // after "GetUpgradeFile"
    const char* why;       // null: readable
    uint64_t filepos, length;
    std::string client;  // with filepos 10 and the digest
  } cases[] = {
      {"old_server", "code=1&status=ACCEPTED&updateversion=6%2E0%2E122%2E3&filepos=0&downloadlength=99", nullptr, 0, 99,
       "GetUpgradeFilecode=1&status=ACCEPTED&updateversion=6%2E0%2E122%2E3&filepos=10&downloadlength=99&resume=1&"
       "sha256=" +
           sha},
      {"resuming_server",
       "code=1&status=ACCEPTED&updateversion=6%2E0%2E122%2E3&filepos=99&downloadlength=99&resume=1&sha256=" + sha,
       nullptr, 99, 99,
       "GetUpgradeFilecode=1&status=ACCEPTED&updateversion=6%2E0%2E122%2E3&filepos=10&downloadlength=99&resume=1&"
       "sha256=" +
           sha},
      {"no_filepos_and_a_field_of_its_own", "code=1&status=ACCEPTED&x=y&downloadlength=99", nullptr, 0, 99,
       "GetUpgradeFilecode=1&status=ACCEPTED&x=y&downloadlength=99&filepos=10&resume=1&sha256=" + sha},
      {"refused", "code=1&status=DENIED", nullptr, 0, 0, ""},
      {"no_length", "code=1&status=ACCEPTED&filepos=0", "no downloadlength", 0, 0, ""},
      {"length_beyond_2GiB", "code=1&status=ACCEPTED&downloadlength=2147483648", "no downloadlength", 0, 0, ""},
      {"length_not_a_number", "code=1&status=ACCEPTED&downloadlength=12x", "no downloadlength", 0, 0, ""},
      {"filepos_beyond_the_length", "code=1&status=ACCEPTED&filepos=100&downloadlength=99", "filepos", 0, 0, ""},
      {"negative_filepos", "code=1&status=ACCEPTED&filepos=-1&downloadlength=99", "filepos", 0, 0, ""},
      {"bad_sha256", "code=1&status=ACCEPTED&downloadlength=99&sha256=" + std::string(64, 'C'), "sha256", 0, 0, ""},
  };
  for (const Case& c : cases) {
    UpstreamFileHeader h;
    std::string why;
    const bool ok = ReadFileHeader(c.upstream, h, why);
    EXPECT_EQ(ok, c.why == nullptr) << c.name << ": " << why;
    if (c.why) {
      EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
    }
    if (!ok || !h.Accepted()) continue;
    EXPECT_EQ(h.filepos, c.filepos) << c.name;
    EXPECT_EQ(h.length, c.length) << c.name;
    EXPECT_EQ(ClientFileHeader(h, 10, h.length, sha), c.client) << c.name;
  }
  // Without a digest (a copy from an old server still arriving), no resume.
  UpstreamFileHeader h;
  std::string why;
  ASSERT_TRUE(ReadFileHeader("code=1&status=ACCEPTED&filepos=0&downloadlength=99&resume=1&sha256=" + sha, h, why));
  EXPECT_EQ(ClientFileHeader(h, 0, 99, ""), "GetUpgradeFilecode=1&status=ACCEPTED&filepos=0&downloadlength=99");
}

struct CacheCase {
  const char* name;
  std::optional<ArchiveMeta> held;
  UpstreamResumes resumes;
  bool asks;                // the mirror adds resumefrom and sha256
  std::string replyFields;  // the upstream's header then
  HeaderVerdict verdict;
};

const std::string kShaA(64, 'a'), kShaB(64, 'b');
const ArchiveMeta kHeldFromResumingServer{101, "6.0.122.3", 1000, kShaA, true};
const ArchiveMeta kHeldFromOldServer{101, "6.0.122.3", 1000, kShaA, false};
const ArchiveMeta kArrivingFromOldServer{101, "6.0.122.3", 1000, "", false};

class CacheDecisions : public ::testing::TestWithParam<CacheCase> {};

TEST_P(CacheDecisions, AskTheUpstreamFromTheCopyAndJudgeItsHeader) {
  const CacheCase& c = GetParam();
  const UpstreamResumeAsk ask = PlanUpstreamResume(c.held ? &*c.held : nullptr, c.resumes);
  EXPECT_EQ(ask.ask, c.asks);
  if (ask.ask) {
    EXPECT_EQ(ask.from, c.held->length);
    EXPECT_EQ(ask.sha256, c.held->sha256);
  }
  UpstreamFileHeader h;
  std::string why;
  ASSERT_TRUE(ReadFileHeader("code=1&" + c.replyFields, h, why)) << why;
  const bool matches = c.held && SameArchive(*c.held, h);
  EXPECT_EQ(JudgeHeader(h, matches), c.verdict);
}

const std::string kWholeA =
    "status=ACCEPTED&updateversion=6.0.122.3&filepos=0&downloadlength=1000&resume=1&sha256=" + kShaA;
const std::string kHeaderOnlyA =
    "status=ACCEPTED&updateversion=6.0.122.3&filepos=1000&downloadlength=1000&resume=1&sha256=" + kShaA;
const std::string kWholeB =
    "status=ACCEPTED&updateversion=6.0.122.3&filepos=0&downloadlength=1000&resume=1&sha256=" + kShaB;
const std::string kOldWhole = "status=ACCEPTED&updateversion=6.0.122.3&filepos=0&downloadlength=1000";

const CacheCase kCacheCases[] = {
    {"nothing_held_fetches", std::nullopt, UpstreamResumes::kYes, false, kWholeA, HeaderVerdict::kFetch},
    {"unchanged_comes_as_a_header", kHeldFromResumingServer, UpstreamResumes::kYes, true, kHeaderOnlyA,
     HeaderVerdict::kServeHeld},
    {"asked_after_a_restart", kHeldFromResumingServer, UpstreamResumes::kUnknown, true, kHeaderOnlyA,
     HeaderVerdict::kServeHeld},
    {"changed_comes_whole_and_is_fetched", kHeldFromResumingServer, UpstreamResumes::kYes, true, kWholeB,
     HeaderVerdict::kFetch},
    {"same_digest_sent_whole_is_not_fetched_again", kHeldFromResumingServer, UpstreamResumes::kYes, true, kWholeA,
     HeaderVerdict::kServeHeld},
    {"an_upstream_that_stopped_resuming_is_not_asked", kHeldFromResumingServer, UpstreamResumes::kNo, false, kOldWhole,
     HeaderVerdict::kServeHeld},
    {"old_server_same_version_and_length", kHeldFromOldServer, UpstreamResumes::kNo, false, kOldWhole,
     HeaderVerdict::kServeHeld},
    {"old_server_other_length", kHeldFromOldServer, UpstreamResumes::kNo, false,
     "status=ACCEPTED&updateversion=6.0.122.3&filepos=0&downloadlength=999", HeaderVerdict::kFetch},
    {"old_server_other_version", kHeldFromOldServer, UpstreamResumes::kNo, false,
     "status=ACCEPTED&updateversion=6.0.122.4&filepos=0&downloadlength=1000", HeaderVerdict::kFetch},
    {"a_copy_still_arriving_is_shared", kArrivingFromOldServer, UpstreamResumes::kNo, false, kOldWhole,
     HeaderVerdict::kServeHeld},
    {"a_part_not_held", std::nullopt, UpstreamResumes::kYes, false, kHeaderOnlyA, HeaderVerdict::kBad},
    {"refused", kHeldFromResumingServer, UpstreamResumes::kYes, true, "status=NOT%20IN%20ROLLOUT",
     HeaderVerdict::kRelayHeader},
};

INSTANTIATE_TEST_SUITE_P(Mirror, CacheDecisions, ::testing::ValuesIn(kCacheCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Copies in a folder that another user may write are not taken up, nor is
// anything written there: someone else could have put an archive and its
// description under an update's name.
TEST(MirrorCacheFolder, OneThatOtherUsersMayWriteIsRefused) {
  const struct {
    const char* name;
    mode_t mode;
    bool otherOwner;  // needs root to set up
    bool opens;
  } cases[] = {
      {"the_servers_own", 0755, false, true}, {"group_writable", 0775, false, true},
      {"world_writable", 0777, false, false}, {"world_writable_sticky", 01777, false, false},
      {"another_users", 0755, true, false},
  };
  for (const auto& c : cases) {
    if (c.otherOwner && geteuid() != 0) continue;
    TempDir root;
    const std::string cache = root.Path("cache");
    ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
    ASSERT_EQ(chmod(cache.c_str(), c.mode), 0);
    if (c.otherOwner) {
      ASSERT_EQ(chown(cache.c_str(), 4242, 4242), 0);
    }
    std::string error;
    const auto opened = MirrorCache::Open(
        root.Root().string(), [](const std::string&) {}, error);
    EXPECT_EQ(opened != nullptr, c.opens) << c.name;
    if (!c.opens) {
      EXPECT_NE(error.find(cache + ": other users"), std::string::npos) << c.name << ": " << error;
    }
  }
}

TEST(MirrorUpstream, TheServicePageUrl) {
  struct Case {
    const char* url;
    const char* page;  // null: refused
  } cases[] = {
      {"http://vendor.example/quonupdate/service.asp", "http://vendor.example/quonupdate/service.asp"},
      {"HTTPS://vendor.example:8443/q.asp", "HTTPS://vendor.example:8443/q.asp"},
      {"http://127.0.0.1:8080", nullptr},  // filled in below: the built-in page
      {"ftp://vendor.example/", nullptr},
      {"http:///service.asp", nullptr},
      {"http://vendor.example/service.asp?GetUpgradeList", nullptr},
      {"http://vendor example/", nullptr},
      {"vendor.example", nullptr},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto page = UpstreamServiceUrl(c.url, why);
    if (std::string(c.url) == "http://127.0.0.1:8080") {
      EXPECT_EQ(page.value_or(""), std::string("http://127.0.0.1:8080") + kUpdatePath);
      continue;
    }
    EXPECT_EQ(page.has_value(), c.page != nullptr) << c.url << ": " << why;
    if (page && c.page) {
      EXPECT_EQ(*page, c.page);
    }
  }
}

// ---- The programs ----

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The sum of `bytes=` over the log lines that contain `marker`.
uint64_t BytesLogged(const std::string& log, const std::string& marker) {
  uint64_t sum = 0;
  size_t start = 0;
  while (start < log.size()) {
    const size_t nl = log.find('\n', start);
    const std::string line = log.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? log.size() : nl + 1;
    const size_t at = line.find(" bytes=");
    if (line.find(marker) != std::string::npos && at != std::string::npos)
      sum += std::strtoull(line.c_str() + at + 7, nullptr, 10);
  }
  return sum;
}

template <typename Predicate>
bool Eventually(Predicate done) {
  for (int i = 0; i < 200; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

std::vector<std::string> CacheFiles(const TempDir& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(root.Path("cache"), ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Fields FileFields(const std::string& id, const std::string& code, const Installation& who, const Fields& extra = {}) {
  Fields f = {{"code", code},
              {"VI", "2"},
              {"KeyID", who.keyId},
              {"KeyType", who.keyType},
              {"KeyVersion", who.keyVersion},
              {"updateversion", "6.0.121.3"},
              {"TableID", id},
              {"DB", "usermt"}};
  f.insert(f.end(), extra.begin(), extra.end());
  return f;
}

HttpReply Post(const ServerProcess& server, const std::string& function, const std::string& body) {
  return HttpPost(server.Url(std::string(kUpdatePath) + "?" + function), body);
}

std::vector<StatsEvent> Figures(const std::string& db) {
  std::vector<StatsEvent> events;
  auto store = MakeStatsStore(db);
  std::string error;
  EXPECT_TRUE(store->Open(error) && store->Read([&](const StatsEvent& e) { events.push_back(e); }, error)) << error;
  return events;
}

TEST(MirrorInFrontOfAServer, ThreeIdentitiesGetTheUpstreamsAnswersAndTheArchiveIsFetchedOnce) {
  // Update 101 goes to half of the installations: two of the three
  // identities are inside its rollout, one outside.
  std::vector<Installation> inside;
  Installation outside;
  bool outsideFound = false;
  for (int k = 1; inside.size() < 2 || !outsideFound; ++k) {
    const Installation who{std::to_string(k), "NET", "6.0"};
    const bool in = Identity{who.keyId, who.keyType, who.keyVersion}.RolloutBucket(101) < 5000;
    if (in && inside.size() < 2) inside.push_back(who);
    if (!in && !outsideFound) outside = who, outsideFound = true;
  }
  TempDir upstreamRoot, mirrorRoot, figures;
  const std::string archive = RandomBytes(8 << 20, 11);
  upstreamRoot.Write("sp1.cab", archive);
  upstreamRoot.Write("catalog.ini",
                     "[update 101]\nposted = 2026-03-01\nname = Service Pack 1\ndescription = D\n"
                     "applies-to = 6.0.121.3\narchive = sp1.cab\nbrings = 6.0.122.3\nrollout = 50%\n");
  ServerProcess upstream, mirror;
  ASSERT_TRUE(upstream.Start(upstreamRoot.Root().string(), {"--stats", figures.Path("upstream.sqlite")}))
      << upstream.Error();
  const std::vector<std::string> mirrorArgs = {"--upstream", upstream.Url(kUpdatePath), "--stats",
                                               figures.Path("mirror.sqlite")};
  ASSERT_TRUE(mirror.Start(mirrorRoot.Root().string(), mirrorArgs)) << mirror.Error();

  // Lists: the upstream's, byte for byte, for every identity.
  for (const Installation& who : {inside[0], inside[1], outside}) {
    const std::string body = ListBody("6.0.121.3", "77", who);
    EXPECT_EQ(Post(mirror, "GetUpgradeList", body).body, Post(upstream, "GetUpgradeList", body).body);
  }
  // Eight downloads at once, four from each identity inside the rollout,
  // and one from the identity outside it.
  std::vector<HttpReply> replies(9);
  std::vector<std::thread> clients;
  for (int i = 0; i < 9; ++i)
    clients.emplace_back([&, i] {
      const Installation& who = i == 8 ? outside : inside[i % 2];
      replies[i] = Post(mirror, "GetUpgradeFile",
                        RequestBody("GetUpgradeFile", FileFields("101", std::to_string(100 + i), who)));
    });
  for (auto& t : clients) t.join();
  for (int i = 0; i < 8; ++i)
    EXPECT_TRUE(replies[i].body == FileReplyBytes(std::to_string(100 + i), "6.0.122.3", archive))
        << i << ": " << replies[i].body.substr(0, 200);
  const std::string refusal =
      Post(upstream, "GetUpgradeFile", RequestBody("GetUpgradeFile", FileFields("101", "108", outside))).body;
  EXPECT_EQ(replies[8].body, refusal);
  EXPECT_EQ(refusal, "The update \"Service Pack 1\" cannot be downloaded at the moment. Please try again later.");

  // The upstream sent the archive's bytes once: one download with data, the
  // others a header after the mirror asked from its copy. (A request's line
  // is written once its reply has gone.)
  const std::string sha = Sha256Hex(archive);
  std::string log;
  EXPECT_TRUE(Eventually([&] {
    log = upstream.Log();
    return Count(log, "TableID=101 result=\"ACCEPTED filepos=8388608\"") == 7;
  })) << log;
  EXPECT_EQ(Count(log, "TableID=101 result=\"ACCEPTED\" bytes="), 1u) << log;
  EXPECT_LT(BytesLogged(log, "TableID=101 result=\"ACCEPTED"), archive.size() + 8 * 300);
  EXPECT_EQ(CacheFiles(mirrorRoot),
            (std::vector<std::string>{"update-101-" + sha + ".cab", "update-101-" + sha + ".meta"}));

  // A client that resumes is answered from the mirror's copy.
  HttpReply resumed = Post(
      mirror, "GetUpgradeFile",
      RequestBody("GetUpgradeFile", FileFields("101", "5", inside[0], {{"resumefrom", "7000000"}, {"sha256", sha}})));
  EXPECT_TRUE(resumed.body == FileReplyBytes("5", "6.0.122.3", archive, 7000000)) << resumed.body.substr(0, 200);

  // After a restart the copy is still there: the upstream sends a header.
  ASSERT_EQ(mirror.Stop(), 0);
  const std::string mirrorLog = mirror.Log();
  EXPECT_EQ(Count(mirrorLog, "result=\"ACCEPTED cache=fill\""), 1u) << mirrorLog;
  EXPECT_NE(mirrorLog.find("result=\"ACCEPTED cache=hit filepos=7000000\""), std::string::npos) << mirrorLog;
  ASSERT_TRUE(mirror.Start(mirrorRoot.Root().string(), mirrorArgs)) << mirror.Error();
  EXPECT_TRUE(Post(mirror, "GetUpgradeFile", RequestBody("GetUpgradeFile", FileFields("101", "6", inside[1]))).body ==
              FileReplyBytes("6", "6.0.122.3", archive));
  ASSERT_EQ(mirror.Stop(), 0);
  ASSERT_EQ(upstream.Stop(), 0);
  log = upstream.Log();
  EXPECT_EQ(Count(log, "TableID=101 result=\"ACCEPTED\" bytes="), 1u) << log;
  EXPECT_EQ(Count(log, "TableID=101 result=\"ACCEPTED filepos=8388608\""), 9u) << log;

  // The upstream's figures: every download complete, one with the bytes
  // (the others served from the mirror); the mirror's own like a server's.
  size_t withData = 0, complete = 0;
  for (const StatsEvent& e : Figures(figures.Path("upstream.sqlite")))
    if (e.kind == StatsEvent::kDownload) {
      withData += e.bytes == archive.size();
      complete += e.complete;
    }
  EXPECT_EQ(withData, 1u);
  EXPECT_EQ(complete, 10u);
  size_t mirrorDownloads = 0, mirrorLists = 0;
  for (const StatsEvent& e : Figures(figures.Path("mirror.sqlite"))) {
    mirrorLists += e.kind == StatsEvent::kList;
    if (e.kind == StatsEvent::kDownload && e.complete && e.updateId == 101 && e.size == archive.size())
      ++mirrorDownloads;
  }
  EXPECT_EQ(mirrorLists, 3u);
  EXPECT_EQ(mirrorDownloads, 10u);
}

TEST(MirrorInFrontOfAServer, OnlyApprovedUpdatesAreListedAndServedReadAgainOnHangup) {
  TempDir upstreamRoot, mirrorRoot;
  upstreamRoot.Write("a.cab", RandomBytes(1000, 1));
  upstreamRoot.Write("catalog.ini",
                     "[update 101]\nposted = 2026-03-01\nname = A\ndescription = D\napplies-to = 6.0.121.3\n"
                     "archive = a.cab\nbrings = 6.0.122.3\n"
                     "[update 102]\nposted = 2026-03-01\nname = B\ndescription = D\napplies-to = 6.0.121.3\n"
                     "archive = a.cab\nbrings = 6.0.121.4\n");
  mirrorRoot.Write("approved.txt", "# validated\n101\n");
  ServerProcess upstream, mirror;
  ASSERT_TRUE(upstream.Start(upstreamRoot.Root().string())) << upstream.Error();
  ASSERT_TRUE(mirror.Start(mirrorRoot.Root().string(),
                           {"--upstream", upstream.Url(kUpdatePath), "--approved", mirrorRoot.Path("approved.txt")}))
      << mirror.Error();
  auto listed = [&] { return OfferedIds(Post(mirror, "GetUpgradeList", ListBody("6.0.121.3")).body); };
  auto download = [&](const char* id) {
    return Post(mirror, "GetUpgradeFile", RequestBody("GetUpgradeFile", FileFields(id, "9", {}))).body;
  };
  EXPECT_EQ(listed(), std::vector<std::string>{"101"});
  EXPECT_EQ(download("102"), "The requested update 102 is not available on this server.");
  EXPECT_EQ(download("101").compare(0, 10, "BytesCount"), 0);

  // Approved later: read again on SIGHUP.
  mirrorRoot.Write("approved.txt", "101\n102\n");
  mirror.Signal(SIGHUP);
  EXPECT_TRUE(Eventually([&] { return listed().size() == 2; }));
  EXPECT_EQ(download("102").compare(0, 10, "BytesCount"), 0);
  // A bad file keeps the list in force and says why.
  mirrorRoot.Write("approved.txt", "101\nSP2\n");
  mirror.Signal(SIGHUP);
  EXPECT_TRUE(Eventually([&] { return mirror.Log().find("not reloaded") != std::string::npos; }));
  EXPECT_NE(mirror.Log().find("keeping the previous list: " + mirrorRoot.Path("approved.txt") + ":2: 'SP2'"),
            std::string::npos)
      << mirror.Log();
  EXPECT_EQ(listed().size(), 2u);
  ASSERT_EQ(mirror.Stop(), 0);
  ASSERT_EQ(upstream.Stop(), 0);
  const std::string log = mirror.Log();
  EXPECT_NE(log.find("TableID=102 result=\"refused: not approved\""), std::string::npos) << log;
  // The upstream never saw the refused download.
  EXPECT_EQ(Count(upstream.Log(), "TableID=102"), 1u) << upstream.Log();

  // A bad file at the start is a mistake in the command.
  const RunResult run =
      RunProgram({QUON_SERVER_BIN, "--upstream", upstream.Url(kUpdatePath), "--root", mirrorRoot.Root().string(),
                  "--listen", "127.0.0.1:0", "--approved", mirrorRoot.Path("approved.txt")});
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find(mirrorRoot.Path("approved.txt") + ":2:"), std::string::npos) << run.output;
  EXPECT_EQ(
      RunProgram({QUON_SERVER_BIN, "--root", mirrorRoot.Root().string(), "--approved", mirrorRoot.Path("approved.txt")})
          .status,
      2);
}

TEST(MirrorWithoutUpstream, ClientsGetTheTextTheUpdaterShows) {
  // A port nothing listens on.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  TempDir root;
  ServerProcess mirror;
  ASSERT_TRUE(mirror.Start(root.Root().string(),
                           {"--upstream", "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + kUpdatePath}))
      << mirror.Error();
  for (const auto& [function, body] :
       {std::pair{"GetUpgradeList", ListBody("6.0.121.3")},
        std::pair{"GetUpgradeFile", RequestBody("GetUpgradeFile", FileFields("101", "1", {}))}}) {
    const HttpReply reply = Post(mirror, function, body);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "The update server cannot be reached.");
  }
  EXPECT_EQ(mirror.Stop(), 0);
  EXPECT_NE(mirror.Log().find("result=\"refused: upstream unreachable ("), std::string::npos) << mirror.Log();
}

TEST(MirrorInFrontOfAServer, ReachesAnHttpsUpstreamThatItsAuthoritiesVouchFor) {
  TempDir upstreamRoot, mirrorRoot, pki;
  ASSERT_TRUE(MakeTestTlsCertificates(pki.Root().string()));
  upstreamRoot.Write("a.cab", RandomBytes(1000, 1));
  upstreamRoot.Write("catalog.ini",
                     "[update 101]\nposted = 2026-03-01\nname = A\ndescription = D\napplies-to = 6.0.121.3\n"
                     "archive = a.cab\nbrings = 6.0.122.3\n");
  ServerProcess upstream;
  ASSERT_TRUE(upstream.Start(upstreamRoot.Root().string(),
                             {"--tls-cert", pki.Path("server.pem"), "--tls-key", pki.Path("server-key.pem")}))
      << upstream.Error();
  std::string url = upstream.Url(kUpdatePath);
  url.insert(4, "s");
  for (const bool trusted : {true, false}) {
    std::vector<std::string> args = {"--upstream", url};
    if (trusted) args.insert(args.end(), {"--upstream-ca", pki.Path("ca.pem")});
    ServerProcess mirror;
    ASSERT_TRUE(mirror.Start(mirrorRoot.Root().string(), args)) << mirror.Error();
    const std::string body = Post(mirror, "GetUpgradeList", ListBody("6.0.121.3")).body;
    EXPECT_EQ(body, trusted ? "GetUpgradeListcode=77&status=ACCEPTED&rows=1&cols=4&dbdata=101%3B46082%3BA%3BD"
                            : "The update server cannot be reached.");
  }
}

// An upstream played by the test: each request's fields go to the script,
// whose bytes (the whole HTTP reply) are sent before the connection closes.
class ScriptedUpstream {
 public:
  using Script = std::function<std::string(const FieldMap&)>;
  explicit ScriptedUpstream(Script script) : m_script(std::move(script)) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(m_fd, 16);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedUpstream() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + kUpdatePath; }
  std::vector<FieldMap> Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int c = accept(m_fd, nullptr, nullptr);
      if (c < 0) continue;
      timeval tv{2, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      std::string in;
      char block[4096];
      size_t end = std::string::npos, length = 0;
      for (ssize_t n; (n = recv(c, block, sizeof block, 0)) > 0;) {
        in.append(block, static_cast<size_t>(n));
        if (end == std::string::npos && (end = in.find("\r\n\r\n")) != std::string::npos) {
          const size_t at = in.find("Content-Length: ");
          length = at == std::string::npos ? 0 : std::strtoul(in.c_str() + at + 16, nullptr, 10);
        }
        if (end != std::string::npos && in.size() >= end + 4 + length) break;
      }
      FieldMap fields;
      const std::string body = end == std::string::npos ? "" : in.substr(end + 4);
      DecodeFields(body.substr(std::min<size_t>(body.size(), 14)), fields, true);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(fields);
      }
      const std::string reply = m_script(fields);
      send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(c);
    }
  }

  Script m_script;
  int m_fd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::vector<FieldMap> m_requests;
};

std::string Http(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

std::string FileReplyWith(const std::string& header, const std::string& data) {
  return "BytesCount" + Le32(static_cast<uint32_t>(header.size())) + header + data;
}

TEST(MirrorInFrontOfAnOldServer, KeepsTheArchiveByVersionAndLengthAndSendsNoNewField) {
  const std::string archive = RandomBytes(3 << 20, 5);
  ScriptedUpstream upstream([&](const FieldMap& f) {
    return Http(200, FileReplyWith("GetUpgradeFilecode=" + f.Get("code") +
                                       "&status=ACCEPTED&updateversion=6%2E0%2E122%2E3&filepos=0&downloadlength=" +
                                       std::to_string(archive.size()),
                                   archive));
  });
  TempDir root;
  ServerProcess mirror;
  ASSERT_TRUE(mirror.Start(root.Root().string(), {"--upstream", upstream.Url()})) << mirror.Error();
  auto download = [&](const std::string& code, const Fields& extra = {}) {
    return Post(mirror, "GetUpgradeFile", RequestBody("GetUpgradeFile", FileFields("101", code, {}, extra))).body;
  };
  // The first download passes the upstream's header on as it came; the
  // copy's digest is not known before it is complete.
  EXPECT_TRUE(download("1") == FileReplyBytes("1", "6.0.122.3", archive, 0, false));
  // Then the copy is served, with the mirror's own digest to resume from;
  // the upstream's transfer ended after its header.
  EXPECT_TRUE(download("2") == FileReplyBytes("2", "6.0.122.3", archive));
  EXPECT_TRUE(download("3", {{"resumefrom", "3000000"}, {"sha256", Sha256Hex(archive)}}) ==
              FileReplyBytes("3", "6.0.122.3", archive, 3000000));
  const auto requests = upstream.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const FieldMap& r : requests) {
    EXPECT_FALSE(r.Has("resumefrom"));
    EXPECT_FALSE(r.Has("sha256"));
    EXPECT_EQ(r.Get("KeyID"), "1234");  // the client's own fields
  }
  ASSERT_EQ(mirror.Stop(), 0);
  EXPECT_EQ(Count(mirror.Log(), "result=\"ACCEPTED cache=hit"), 2u) << mirror.Log();
}

TEST(MirrorInFrontOfAHostileServer, NothingBadIsKeptOrServedAsComplete) {
  const std::string archive = RandomBytes(1 << 20, 6);
  const std::string length = std::to_string(archive.size());
  auto header = [&](const FieldMap& f, const std::string& rest) {
    return "GetUpgradeFilecode=" + f.Get("code") + "&status=ACCEPTED&updateversion=6%2E0%2E122%2E3" + rest;
  };
  enum Outcome { kUnreachable, kCut, kRelayed };
  struct Case {
    const char* name;
    std::function<std::string(const FieldMap&)> reply;
    Outcome outcome;
    std::string relayed;
  } cases[] = {
      {"a_header_text_of_2GiB",
       [&](const FieldMap&) { return Http(200, "BytesCount" + Le32(0x7FFFFFFF) + "GetUpgradeFile"); }, kUnreachable,
       ""},
      {"a_header_cut_short",
       [&](const FieldMap& f) { return Http(200, "BytesCount" + Le32(500) + header(f, "&filepos=0")); }, kUnreachable,
       ""},
      {"another_code",
       [&](const FieldMap&) {
         return Http(200,
                     FileReplyWith("GetUpgradeFilecode=1&status=ACCEPTED&filepos=0&downloadlength=" + length, archive));
       },
       kUnreachable, ""},
      {"a_part_not_asked_for",
       [&](const FieldMap& f) {
         return Http(200, FileReplyWith(header(f, "&filepos=100&downloadlength=" + length), archive.substr(100)));
       },
       kUnreachable, ""},
      {"fewer_bytes_than_announced",
       [&](const FieldMap& f) {
         return Http(200, FileReplyWith(header(f, "&filepos=0&downloadlength=" + length), archive.substr(1000)));
       },
       kCut, ""},
      {"more_bytes_than_announced",
       [&](const FieldMap& f) {
         return Http(200, FileReplyWith(header(f, "&filepos=0&downloadlength=" + length), archive + "tail"));
       },
       kCut, ""},
      {"another_sha256",
       [&](const FieldMap& f) {
         return Http(200, FileReplyWith(header(f, "&filepos=0&downloadlength=" + length +
                                                      "&resume=1&sha256=" + Sha256Hex("other")),
                                        archive));
       },
       kCut, ""},
      {"a_text_for_the_user", [&](const FieldMap&) { return Http(200, "The service is closed today."); }, kRelayed,
       "The service is closed today."},
      {"an_http_error", [&](const FieldMap&) { return Http(503, "busy"); }, kRelayed, "busy"},
  };
  size_t current = 0;
  ScriptedUpstream upstream([&](const FieldMap& f) { return cases[current].reply(f); });
  TempDir root;
  ServerProcess mirror;
  ASSERT_TRUE(mirror.Start(root.Root().string(), {"--upstream", upstream.Url()})) << mirror.Error();
  for (current = 0; current < std::size(cases); ++current) {
    const Case& c = cases[current];
    const HttpReply reply = Post(mirror, "GetUpgradeFile",
                                 RequestBody("GetUpgradeFile", FileFields(std::to_string(200 + current), "4", {})));
    switch (c.outcome) {
      case kUnreachable:
        EXPECT_EQ(reply.body, "The update server cannot be reached.") << c.name;
        break;
      case kCut:
        // The head and the archive but its last byte: never the whole.
        EXPECT_EQ(reply.status, 0) << c.name;
        EXPECT_EQ(reply.body.compare(0, 10, "BytesCount"), 0) << c.name;
        EXPECT_EQ(reply.body.find(archive), std::string::npos) << c.name;
        break;
      case kRelayed:
        EXPECT_EQ(reply.body, c.relayed) << c.name;
        EXPECT_EQ(reply.status, c.name == std::string("an_http_error") ? 503 : 200) << c.name;
        break;
    }
    EXPECT_TRUE(Eventually([&] { return CacheFiles(root).empty(); })) << c.name;
  }
  EXPECT_EQ(mirror.Stop(), 0);
  const std::string log = mirror.Log();
  EXPECT_NE(log.find("not kept: its SHA-256 is " + Sha256Hex(archive)), std::string::npos) << log;
  EXPECT_NE(log.find("upstream: unusable reply to a request for update 200: a header text of 2147483647 bytes"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace quon::test
