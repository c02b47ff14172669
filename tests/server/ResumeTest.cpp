// Downloads that resume, on the server's side: the negotiation of
// `resumefrom` and `sha256` as a table, and the real server answering it
// byte for byte, including for an archive replaced on disk after the
// catalog was read.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "UpdateService.h"
#include "base/BuildConfig.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::test {
namespace {

using server::NegotiateResume;

struct NegotiationCase {
  const char* name;
  const char* resumeFrom;  // null: absent
  const char* sha256;      // null: absent; "=": the archive's digest
  const char* digest;      // the server's: "" unknown, "=": known
  uint64_t filepos;
  const char* log;  // the log's result
};

const std::string kDigest(64, 'a');

class Negotiation : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Negotiation, AnswersResumefromOnlyWithTheArchivesDigestAndAPlaceInIt) {
  const NegotiationCase& c = GetParam();
  const std::string from = c.resumeFrom ? c.resumeFrom : "";
  const std::string sha = c.sha256 && std::string(c.sha256) == "=" ? kDigest : c.sha256 ? c.sha256 : "";
  const std::string digest = std::string(c.digest) == "=" ? kDigest : c.digest;
  const auto d = NegotiateResume(c.resumeFrom ? &from : nullptr, c.sha256 ? &sha : nullptr, digest, 5000);
  EXPECT_EQ(d.filepos, c.filepos);
  EXPECT_EQ(server::DownloadResult(d), c.log);
}

const NegotiationCase kNegotiations[] = {
    {"not_asked", nullptr, nullptr, "=", 0, "ACCEPTED"},
    {"sha256_alone_is_no_question", nullptr, "=", "=", 0, "ACCEPTED"},
    {"from_the_start", "0", "=", "=", 0, "ACCEPTED filepos=0"},
    {"from_the_middle", "1000", "=", "=", 1000, "ACCEPTED filepos=1000"},
    {"from_the_end", "5000", "=", "=", 5000, "ACCEPTED filepos=5000"},
    {"leading_zeros", "0000000000000000042", "=", "=", 42, "ACCEPTED filepos=42"},
    {"beyond_the_end", "5001", "=", "=", 0, "ACCEPTED (resume refused: resumefrom beyond the archive)"},
    {"negative", "-1", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"signed", "+5", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"blank_before", " 5", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"blank_after", "5 ", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"exponent", "1e3", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"empty", "", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"overflowing", "18446744073709551617", "=", "=", 0, "ACCEPTED (resume refused: bad resumefrom)"},
    {"no_sha256", "1000", nullptr, "=", 0, "ACCEPTED (resume refused: no sha256)"},
    {"other_sha256", "1000", "bbbb", "=", 0, "ACCEPTED (resume refused: sha256 differs)"},
    {"upper_case_sha256", "1000", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "=", 0,
     "ACCEPTED (resume refused: sha256 differs)"},
    {"digest_not_known_yet", "1000", "=", "", 0, "ACCEPTED (resume refused: digest not known yet)"},
};

INSTANTIATE_TEST_SUITE_P(Server, Negotiation, ::testing::ValuesIn(kNegotiations),
                         [](const auto& info) { return std::string(info.param.name); });

class ResumingServer : public ::testing::Test {
 protected:
  void SetUp() override {
    m_archive = RandomBytes(700000, 7);
    m_root.Write("sp1.cab", m_archive);
    m_root.Write("catalog.ini",
                 "[update 12]\nposted = 2026-03-01\nname = Patch A\ndescription = D\napplies-to = 6.0.121.3\n"
                 "archive = sp1.cab\nbrings = 6.0.122.3\n");
    ASSERT_TRUE(m_server.Start(m_root.Root().string())) << m_server.Error();
  }
  HttpReply Download(const Fields& extra) {
    Fields fields = {{"code", "4711"},   {"VI", "2"},         {"KeyID", "1"},
                     {"KeyType", "std"}, {"KeyVersion", "6"}, {"updateversion", "6.0.121.3"},
                     {"TableID", "12"},  {"DB", "usermt"}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return HttpPost(m_server.Url(std::string(kUpdatePath) + "?GetUpgradeFile"), RequestBody("GetUpgradeFile", fields));
  }

  TempDir m_root;
  std::string m_archive;
  ServerProcess m_server;
};

TEST_F(ResumingServer, AnnouncesResumeAfterTheOldFieldsAndSendsTheRestFromResumefrom) {
  const std::string sha = Sha256Hex(m_archive);
  // The whole archive: the fields an old updater reads, byte for byte as
  // before, then resume and sha256.
  HttpReply reply = Download({});
  ASSERT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.body == FileReplyBytes("4711", "6.0.122.3", m_archive));
  EXPECT_NE(reply.body.find("&filepos=0&downloadlength=700000&resume=1&sha256=" + sha), std::string::npos);

  struct Case {
    std::string from, sha;
    size_t filepos;
  } cases[] = {
      {"630000", sha, 630000},        // a download cut at 90%
      {"700000", sha, 700000},        // all of it held: the header alone
      {"630000", Sha256Hex("x"), 0},  // the archive changed since: whole
      {"700001", sha, 0},             // more than there is: whole
      {"63e4", sha, 0},
  };
  for (const Case& c : cases) {
    reply = Download({{"resumefrom", c.from}, {"sha256", c.sha}});
    EXPECT_EQ(reply.headers["content-length"],
              std::to_string(FileReplyBytes("4711", "6.0.122.3", m_archive, c.filepos).size()))
        << c.from;
    EXPECT_TRUE(reply.body == FileReplyBytes("4711", "6.0.122.3", m_archive, c.filepos)) << c.from;
  }
  ASSERT_EQ(m_server.Stop(), 0);
  const std::string log = m_server.Log();
  EXPECT_NE(log.find("result=\"ACCEPTED filepos=630000\" bytes=" +
                     std::to_string(FileReplyBytes("4711", "6.0.122.3", m_archive, 630000).size())),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("result=\"ACCEPTED (resume refused: sha256 differs)\""), std::string::npos) << log;
  EXPECT_NE(log.find("result=\"ACCEPTED (resume refused: bad resumefrom)\""), std::string::npos) << log;
  EXPECT_NE(log.find("digests: 1 archives (0.7 MiB) read in"), std::string::npos) << log;
}

TEST_F(ResumingServer, AnArchiveReplacedOnDiskIsDigestedOnceInTheBackground) {
  const std::string old = m_archive;
  m_archive = RandomBytes(500000, 8);
  m_root.Write("new.cab", m_archive);
  ASSERT_EQ(std::rename(m_root.Path("new.cab").c_str(), m_root.Path("sp1.cab").c_str()), 0);
  // The first download of the new file goes out as from a server that does
  // not resume, and a resume asked with the old digest gets it whole.
  HttpReply reply = Download({{"resumefrom", "1000"}, {"sha256", Sha256Hex(old)}});
  EXPECT_TRUE(reply.body == FileReplyBytes("4711", "6.0.122.3", m_archive, 0, false));
  // Soon after, its digest is known and announced.
  for (int i = 0; i < 100 && reply.body.find("&resume=1") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    reply = Download({});
  }
  EXPECT_TRUE(reply.body == FileReplyBytes("4711", "6.0.122.3", m_archive));
  reply = Download({{"resumefrom", "400000"}, {"sha256", Sha256Hex(m_archive)}});
  EXPECT_TRUE(reply.body == FileReplyBytes("4711", "6.0.122.3", m_archive, 400000));
  // A catalog read again (SIGHUP) reads only archives it does not know.
  m_server.Signal(SIGHUP);
  std::string log;
  for (int i = 0; i < 100 && log.find("catalog reloaded") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = m_server.Log();
  }
  EXPECT_NE(log.find("digests: 0 archives (0.0 MiB) read in"), std::string::npos) << log;
}

}  // namespace
}  // namespace quon::test
