// The administrator's policy as its file (or registry values) states it:
// what is taken, what is refused with the place named, what is only warned
// about; and HoldAt's component-wise prefix.
#include <gtest/gtest.h>

#include "update/AdminPolicy.h"
#include "update/UpdateSession.h"

namespace quon {
namespace {

// The policy in one line, so that a row states all of it.
std::string Summary(const PolicyReading& r) {
  if (!r.ok) return "error: " + r.error;
  const AdminPolicy& p = r.policy;
  std::string proxy = p.proxy.kind == ProxySetting::Kind::System   ? "system"
                      : p.proxy.kind == ProxySetting::Kind::Direct ? "direct"
                                                                   : p.proxy.host + ":" + std::to_string(p.proxy.port);
  UpdateServerSettings built{"built.example", 80, "/built/service.asp", false};
  return "server=" + built.UnderPolicy(p).Url() + " proxy=" + proxy + " updates=" + (p.updates ? "on" : "off") +
         " hold=" + p.HoldAtText() + " rollback=" + (p.rollback ? "on" : "off") +
         " reports=" + (p.resultReports ? "on" : "off") + " warnings=" + std::to_string(r.warnings.size());
}

struct FileCase {
  const char* name;
  const char* text;
  bool httpsOnly;
  const char* expected;  // the summary, or the start of "error: ..." (then it must name the line)
};

const char kDefaults[] =
    "server=http://built.example/built/service.asp proxy=system updates=on hold= rollback=on reports=on warnings=0";

const FileCase kFileCases[] = {
    {"Empty", "", false, kDefaults},
    {"CommentsOnly", "# nothing\n; nothing either\n\n   \n", false, kDefaults},
    {"Everything",
     "\xEF\xBB\xBF# site policy\r\nserver = https://mirror.site.example:8443/quon/service.asp\r\n"
     "PROXY=http://proxy.site.example:3128 ; the site's proxy\r\nUpdates = OFF\r\nholdat = 6.0.122\r\n"
     "Rollback = off\r\nResultReports = Off\r\n",
     true,
     "server=https://mirror.site.example:8443/quon/service.asp proxy=proxy.site.example:3128 updates=off "
     "hold=6.0.122 rollback=off reports=off warnings=0"},
    {"ServerWithoutPathKeepsTheBuildsPage", "Server = http://10.1.2.3:8080", false,
     "server=http://10.1.2.3:8080/built/service.asp proxy=system updates=on hold= rollback=on reports=on warnings=0"},
    {"DirectProxyAndAnUnknownKey", "Proxy = Direct\nChannel = beta\n", false,
     "server=http://built.example/built/service.asp proxy=direct updates=on hold= rollback=on reports=on warnings=1"},
    {"HttpServerInAnHttpsBuild", "\n\nServer = http://mirror.site.example/", true,
     "error: The administrator's policy /p, line 3: Server"},
    {"NotKeyValue", "Server\n", false, "error: The administrator's policy /p, line 1:"},
    {"NoKey", " = on\n", false, "error: The administrator's policy /p, line 1:"},
    {"Twice", "Updates = on\nupdates = off\n", false, "error: The administrator's policy /p, line 2: updates"},
    {"OnOffOnly", "Rollback = yes\n", false, "error: The administrator's policy /p, line 1: Rollback"},
    {"EmptyValue", "Server =\n", false, "error: The administrator's policy /p, line 1: Server"},
    {"ServerScheme", "Server = ftp://mirror/\n", false, "error: The administrator's policy /p, line 1: Server"},
    {"ServerPort", "Server = http://mirror:0/\n", false, "error: The administrator's policy /p, line 1: Server"},
    {"ServerHost", "Server = http://user@mirror/\n", false, "error: The administrator's policy /p, line 1: Server"},
    {"ServerPath", "Server = http://mirror/a b\n", false, "error: The administrator's policy /p, line 1: Server"},
    {"ProxyWithPath", "Proxy = http://proxy:3128/x\n", false, "error: The administrator's policy /p, line 1: Proxy"},
    {"ProxyHttpsScheme", "Proxy = https://proxy:3128\n", false, "error: The administrator's policy /p, line 1: Proxy"},
    {"HoldAtNotNumbers", "HoldAt = 6.x\n", false, "error: The administrator's policy /p, line 1: HoldAt"},
    {"HoldAtTooLong", "HoldAt = 1.2.3.4.5\n", false, "error: The administrator's policy /p, line 1: HoldAt"},
    {"HoldAtTooLarge", "HoldAt = 6.70000\n", false, "error: The administrator's policy /p, line 1: HoldAt"},
    {"HoldAtTrailingDot", "HoldAt = 6.0.\n", false, "error: The administrator's policy /p, line 1: HoldAt"},
};

class PolicyFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(PolicyFile, IsReadAsAnAdministratorWouldExpect) {
  const FileCase& c = GetParam();
  const PolicyReading reading = ParsePolicyFile(c.text, "/p", c.httpsOnly);
  EXPECT_EQ(Summary(reading).rfind(c.expected, 0), 0u) << Summary(reading);
  EXPECT_TRUE(reading.found);
}

INSTANTIATE_TEST_SUITE_P(Rows, PolicyFile, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PolicyValues, RegistryValuesAreNamedInTheirErrors) {
  const PolicyReading reading = PolicyFromValues(kPolicyRegistryKey, {{"Updates", "of?", "value Updates"}}, false);
  EXPECT_FALSE(reading.ok);
  EXPECT_NE(reading.error.find("QuonUpdate, value Updates: Updates"), std::string::npos) << reading.error;
}

TEST(PolicyHoldAt, MatchesWholeVersionNumbersFromTheStart) {
  struct Row {
    const char* hold;
    const char* version;
    bool allowed;
  };
  const Row rows[] = {
      {"", "7.1.0.0", true},
      {"6.0.122", "6.0.122.3", true},
      {"6.0.122", "6.0.122.0", true},
      {"6.0.122", "6.0.1223.0", false},
      {"6.0.122", "6.0.12.1", false},
      {"6.0.122", "6.0.123.3", false},
      {"6", "6.1.0.0", true},
      {"6.0.122.3", "6.0.122.3", true},
      {"6.0.122.3", "6.0.122.4", false},
      {"6.0.122", "6.0", false},
      {"6.0.122", "garbage", false},
  };
  for (const Row& row : rows) {
    const PolicyReading reading = ParsePolicyFile(std::string(*row.hold ? "HoldAt = " : "") + row.hold, "/p", false);
    ASSERT_TRUE(reading.ok) << reading.error;
    EXPECT_EQ(reading.policy.HoldAllows(row.version), row.allowed) << row.hold << " / " << row.version;
  }
}

}  // namespace
}  // namespace quon
