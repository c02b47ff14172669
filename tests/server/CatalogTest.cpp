// The catalog reader: dates, versions, and the problems it must name.
#include <gtest/gtest.h>
#include <unistd.h>

#include "Catalog.h"
#include "support/ServerProcess.h"

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

}  // namespace
}  // namespace quon::server
