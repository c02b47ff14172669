// The catalog reader: dates, versions, and the problems it must name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Catalog.h"
#include "UpdateService.h"
#include "support/ServerProcess.h"
#include "support/ServiceRequests.h"

namespace quon::server {
namespace {

TEST(OleDate, DaysSinceTheEndOf1899WithTheTimeAsFraction) {
  EXPECT_EQ(OleDateText("2005-03-01"), "38412");
  EXPECT_EQ(OleDateText("2005-05-28 06:00"), "38500.25");
  EXPECT_EQ(OleDateText("2005-05-28T18:00:00"), "38500.75");
  EXPECT_EQ(OleDateText("1900-01-01"), "2");
  EXPECT_EQ(OleDateText("2024-02-29 00:00:01"), "45351.00001157");
  EXPECT_EQ(OleDateText("2000-12-31 23:59"), "36891.99930556");
  for (const char* bad : {"", "2005-3-1", "1899-12-31", "2023-02-29", "2005-13-01", "2005-04-31", "2005-05-28 24:00",
                          "2005-05-28 06:60", "2005-05-28 6:00", "2005-05-28 06:00:00Z", "05/28/2005"}) {
    std::string reason;
    EXPECT_FALSE(OleDateText(bad, &reason)) << bad;
    EXPECT_FALSE(reason.empty()) << bad;
  }
}

TEST(Versions, FourNumbersStrictlyAndPatternsWithStars) {
  ASSERT_TRUE(ParseVersion("6.0.121.3"));
  EXPECT_EQ(FormatVersion(*ParseVersion("6.0.121.3")), "6.0.121.3");
  EXPECT_EQ(FormatVersion(*ParseVersion("65535.0.0.0")), "65535.0.0.0");
  for (const char* bad : {"", "6.0.121", "6.0.121.3.1", "6..121.3", "6.0.121.3 ", "+6.0.121.3", "65536.0.0.0",
                          "6.0.121.x", "6.0.121.-3"})
    EXPECT_FALSE(ParseVersion(bad)) << bad;

  auto p = ParseVersionPattern("6.*.121.*");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Matches(*ParseVersion("6.0.121.3")));
  EXPECT_TRUE(p->Matches(*ParseVersion("6.9.121.0")));
  EXPECT_FALSE(p->Matches(*ParseVersion("6.0.122.3")));
  EXPECT_FALSE(ParseVersionPattern("6.*"));
  EXPECT_FALSE(ParseVersionPattern("6.0.1*.3"));
}

class CatalogParse : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(m_root.Path("a.cab"), "archive");
    test::WriteFile(m_outside.Path("secret.cab"), "secret");
  }
  std::optional<Catalog> Parse(const std::string& text) {
    m_errors.clear();
    return Catalog::Parse(text, "catalog.ini", m_root.Root().string(), m_errors);
  }
  std::string Errors() const {
    std::string all;
    for (const auto& e : m_errors) all += e + "\n";
    return all;
  }
  test::TempDir m_root, m_outside;
  std::vector<std::string> m_errors;
};

std::string Entry(const std::string& id, const std::string& archive = "a.cab", const std::string& name = "N") {
  return "[update " + id + "]\nposted = 2026-01-05\nname = " + name +
         "\ndescription = D\napplies-to = 6.0.121.3\narchive = " + archive + "\nbrings = 6.0.122.3\n";
}

TEST_F(CatalogParse, KeepsOrderAndValues) {
  auto catalog = Parse("\xEF\xBB\xBF# comment\n" + Entry("7") + "\n" + Entry("3", "./a.cab", "Name with = and & and %"));
  ASSERT_TRUE(catalog) << Errors();
  ASSERT_EQ(catalog->Entries().size(), 2u);
  EXPECT_EQ(catalog->Entries()[0].id, 7u);
  EXPECT_EQ(catalog->Entries()[1].id, 3u);
  EXPECT_EQ(catalog->Entries()[1].name, "Name with = and & and %");
  EXPECT_EQ(catalog->Entries()[1].oleDate, "46027");
  EXPECT_EQ(catalog->Entries()[1].archiveSize, 7u);
  EXPECT_EQ(catalog->Find(3), &catalog->Entries()[1]);
  EXPECT_EQ(catalog->Find(4), nullptr);
  ASSERT_EQ(catalog->Warnings().size(), 2u);  // "archive" is no cabinet
  EXPECT_NE(catalog->Warnings()[0].find("catalog.ini:7: archive 'a.cab' does not look like a cabinet"), std::string::npos)
      << catalog->Warnings()[0];
  test::WriteFile(m_root.Path("a.cab"), "MSCF and the rest");
  EXPECT_TRUE(Parse(Entry("1"))->Warnings().empty());
  EXPECT_TRUE(Parse(""));  // no updates at all is a valid catalog
}

TEST_F(CatalogParse, NamesEveryProblemWithItsLine) {
  ASSERT_EQ(symlink((m_outside.Path("secret.cab")).c_str(), (m_root.Path("link.cab")).c_str()), 0);
  const std::string text =
      "name = before any section\n"                    // 1
      "[update 5]\n"                                    // 2
      "posted = 2026-01-05\n"                           // 3
      "name = Fine\n"                                   // 4
      "name = Twice\n"                                  // 5
      "description = semi;colon\n"                      // 6
      "applies-to = 6.0.121.3, 6.0\n"                   // 7
      "archive = /etc/passwd\n"                         // 8
      "brings = 6.0.122.3\n"                            // 9
      "[update 5]\n"                                    // 10
      "[update 0]\n"                                    // 11
      "[patch 6]\n"                                     // 12
      "[update 8\n"                                     // 13
      "[update 9]\n"                                    // 14
      "archive = link.cab\n"                            // 15
      "description =\n"                                 // 16
      "just words\n"                                    // 17
      "[update 10]\n"                                   // 18
      "archive = missing.cab\n";                        // 19
  EXPECT_FALSE(Parse(text));
  const std::string errors = Errors();
  for (const char* expected : {
           "catalog.ini:1: 'name' stands before the first section header",
           "catalog.ini:5: 'name' is given twice",
           "catalog.ini:6: 'description' must not contain ';'",
           "catalog.ini:7: bad version '6.0' in applies-to",
           "catalog.ini:8: archive '/etc/passwd' must be a path relative to the root directory",
           "catalog.ini:10: update 5 is already listed on line 2",
           "catalog.ini:11: the update number must be a decimal number from 1 to 4294967295",
           "catalog.ini:12: expected a section header [update N]",
           "catalog.ini:13: a section header must end with ']'",
           "catalog.ini:15: archive 'link.cab' lies outside the root directory",
           "catalog.ini:16: 'description' must not be empty",
           "catalog.ini:17: expected 'key = value'",
           "catalog.ini:14: update 9 has no 'posted'",
           "catalog.ini:19: archive 'missing.cab' cannot be found",
       })
    EXPECT_NE(errors.find(expected), std::string::npos) << expected << "\n--- got:\n" << errors;
}

TEST_F(CatalogParse, ArchivesMustBeRegularFilesInsideTheRoot) {
  test::WriteFile(m_root.Path("dir/inner.cab"), "x");
  EXPECT_TRUE(Parse(Entry("1", "dir/inner.cab"))) << Errors();
  EXPECT_FALSE(Parse(Entry("1", "dir")));
  EXPECT_FALSE(Parse(Entry("1", "dir/../a.cab")));
  EXPECT_FALSE(Parse(Entry("1", "dir\\inner.cab")));
  ASSERT_EQ(symlink(m_outside.Root().string().c_str(), (m_root.Path("out")).c_str()), 0);
  EXPECT_FALSE(Parse(Entry("1", "out/secret.cab")));
  // A link that stays inside the root is followed.
  ASSERT_EQ(symlink("a.cab", (m_root.Path("alias.cab")).c_str()), 0);
  auto catalog = Parse(Entry("1", "alias.cab"));
  ASSERT_TRUE(catalog) << Errors();
  EXPECT_EQ(catalog->Entries()[0].archivePath.substr(catalog->Entries()[0].archivePath.size() - 6), "/a.cab");
}

TEST_F(CatalogParse, RolloutAndPauseAreOptionalAndChecked) {
  struct Case {
    const char* lines;
    uint32_t basisPoints;  // 0xFFFFFFFF: refused
    bool paused;
  } cases[] = {
      {"", 10000, false},
      {"rollout = 5%\n", 500, false},
      {"rollout = 12.5 %\n", 1250, false},
      {"rollout = 0.05%\n", 5, false},
      {"rollout = 100%\npaused = YES\n", 10000, true},
      {"rollout = 0%\npaused = no\n", 0, false},
      {"rollout = 100.01%\n", 0xFFFFFFFF, false},
      {"rollout = -5%\n", 0xFFFFFFFF, false},
      {"rollout = 5.%\n", 0xFFFFFFFF, false},
      {"rollout = 1.234%\n", 0xFFFFFFFF, false},
      {"rollout = half\n", 0xFFFFFFFF, false},
      {"rollout = 5%\nrollout = 6%\n", 0xFFFFFFFF, false},
      {"paused = maybe\n", 0xFFFFFFFF, false},
  };
  for (const Case& c : cases) {
    auto catalog = Parse(Entry("1") + c.lines);
    if (c.basisPoints == 0xFFFFFFFF) {
      EXPECT_FALSE(catalog) << c.lines;
      EXPECT_NE(Errors().find(c.lines[0] == 'p' ? "paused" : "rollout"), std::string::npos) << c.lines << Errors();
      continue;
    }
    ASSERT_TRUE(catalog) << c.lines << Errors();
    EXPECT_EQ(catalog->Entries()[0].rolloutBasisPoints, c.basisPoints) << c.lines;
    EXPECT_EQ(catalog->Entries()[0].paused, c.paused) << c.lines;
  }
}

TEST_F(CatalogParse, ArchivesOpenBeneathTheRootWithoutFollowingLinks) {
  test::WriteFile(m_root.Path("sub/fix.cab"), "inside");
  test::WriteFile(m_outside.Path("sub/fix.cab"), "outside");
  auto catalog = Parse(Entry("1", "sub/fix.cab"));
  ASSERT_TRUE(catalog) << Errors();
  auto archive = catalog->OpenArchive(catalog->Entries()[0]);
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->Size(), 6u);
  // The folder swapped for a link to a folder outside after the catalog was
  // read: nothing is opened, neither through the link nor anything else.
  std::filesystem::rename(m_root.Path("sub"), m_root.Path("old"));
  ASSERT_EQ(symlink(m_outside.Path("sub").c_str(), m_root.Path("sub").c_str()), 0);
  EXPECT_FALSE(catalog->OpenArchive(catalog->Entries()[0]));
  // The file itself as a link, or a named pipe that would block a reader.
  std::filesystem::remove(m_root.Path("sub"));
  std::filesystem::rename(m_root.Path("old"), m_root.Path("sub"));
  std::filesystem::remove(m_root.Path("sub/fix.cab"));
  ASSERT_EQ(symlink(m_outside.Path("sub/fix.cab").c_str(), m_root.Path("sub/fix.cab").c_str()), 0);
  EXPECT_FALSE(catalog->OpenArchive(catalog->Entries()[0]));
  std::filesystem::remove(m_root.Path("sub/fix.cab"));
  ASSERT_EQ(mkfifo(m_root.Path("sub/fix.cab").c_str(), 0600), 0);
  EXPECT_FALSE(catalog->OpenArchive(catalog->Entries()[0]));
}

// Staged rollouts as the service answers them, for many installations.
class Rollout : public CatalogParse {
 protected:
  std::vector<std::string> Offered(const Catalog& catalog, const test::Installation& who) {
    return test::OfferedIds(
        HandleServiceRequest(catalog, "GetUpgradeList", test::ListBody("6.0.121.3", "1", who)).body);
  }
  static test::Installation Nth(int i) { return {std::to_string(1000 + i), i % 2 ? "NET" : "std", "6.0"}; }
};

TEST_F(Rollout, StableSharesThatOnlyGrowAndPausesThatWithdraw) {
  const auto catalogAt = [&](const std::string& share, const std::string& extra = "") {
    return Parse(Entry("1") + "rollout = " + share + "\n" + extra + Entry("2"));
  };
  auto at20 = catalogAt("20%"), at50 = catalogAt("50%"), at0 = catalogAt("0%");
  auto paused = catalogAt("100%", "paused = yes\n");
  ASSERT_TRUE(at20 && at50 && at0 && paused) << Errors();
  int in20 = 0, in50 = 0;
  for (int i = 0; i < 1000; ++i) {
    const auto who = Nth(i);
    const auto offered20 = Offered(*at20, who), offered50 = Offered(*at50, who);
    ASSERT_EQ(offered20, Offered(*at20, who)) << "the same answer every time";
    ASSERT_EQ(offered20.back(), "2") << "other updates are not affected";
    const bool has20 = offered20.size() == 2, has50 = offered50.size() == 2;
    ASSERT_TRUE(!has20 || has50) << "raising the share removed installation " << i;
    in20 += has20;
    in50 += has50;
    ASSERT_EQ(Offered(*at0, who), std::vector<std::string>{"2"});
    ASSERT_EQ(Offered(*paused, who), std::vector<std::string>{"2"});
  }
  EXPECT_NEAR(in20, 200, 50);
  EXPECT_NEAR(in50, 500, 60);

  // A download outside the rollout, or of a paused update, is refused.
  const auto refusedFor = [&](const Catalog& catalog, const test::Installation& who) {
    return HandleServiceRequest(catalog, "GetUpgradeFile", test::FileBody("1", "6.0.121.3", "1", who)).result;
  };
  for (int i = 0; i < 50; ++i) {
    const bool inside = Offered(*at20, Nth(i)).size() == 2;
    EXPECT_EQ(refusedFor(*at20, Nth(i)), inside ? "ACCEPTED" : "refused: not in rollout") << i;
  }
  EXPECT_EQ(refusedFor(*paused, Nth(0)), "refused: paused");
}

TEST(RolloutBucket, DependsOnTheIdentityAndTheUpdateOnly) {
  // Replicas and later versions of the server must place an installation
  // where it stood before: these values may never change.
  const Identity someone{"4711", "NET", "6.0"}, nobody{"0", "", ""};
  EXPECT_EQ(someone.RolloutBucket(101), 2245u);
  EXPECT_EQ(nobody.RolloutBucket(101), 3957u);
  EXPECT_EQ(someone.Hash().size(), 32u);
  EXPECT_NE(someone.Hash(), nobody.Hash());
  EXPECT_NE(someone.RolloutBucket(101), someone.RolloutBucket(102));
  // The parts cannot be shifted into one another.
  EXPECT_NE((Identity{"1", "23", ""}.Hash()), (Identity{"12", "3", ""}.Hash()));
}

}  // namespace
}  // namespace quon::server
