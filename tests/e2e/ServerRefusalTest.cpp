// Runs against a scripted server: what the session sends, and replies the
// reference server never gives (refused status, missing version).
#include <functional>

#include "E2eSupport.h"
#include "support/FaultServer.h"
#include "support/NetTestSupport.h"

namespace quon::e2e {
namespace {

const char kListTable[] = "&rows=1&cols=4&dbdata=12%3B38412%3BPatch%20A%3BFirst%20fix";

// Answers GetUpgradeList with `listTail` and GetUpgradeFile with a file
// reply whose header carries `fileTail`, both after the echoed code.
struct ScriptedServer {
  std::string listTail = std::string("&status=ACCEPTED") + kListTable;
  std::string fileTail = "&status=ACCEPTED&updateversion=6.0.122.3&filepos=0&downloadlength=5";
  std::string fileData = "bytes";
  test::FaultServer server{[this](const test::ReceivedRequest& request, test::FaultConnection& connection) {
    if (request.body.rfind("GetUpgradeList", 0) == 0) {
      const std::string code = test::RequestFields(request.body, "GetUpgradeList").Get("code");
      connection.Send(test::HttpReply(200, "GetUpgradeListcode=" + code + listTail));
    } else {
      const std::string code = test::RequestFields(request.body, "GetUpgradeFile").Get("code");
      connection.Send(test::HttpReply(200, test::FileReplyBody("GetUpgradeFilecode=" + code + fileTail, fileData)));
    }
  }};
};

struct Scripted : ::testing::Test {
  ScriptedServer script;
  Session s;
  Scripted() {
    s.InstallExe(QUON_E2E_EXE_603121);
    s.InstallCabLibrary();
  }
};

TEST_F(Scripted, RequestsCarryTheIdentityAndTheInstalledVersion) {
  s.WriteProduct("Quon.Installation", "KeyID=4294967295\nKeyType=NET\nKeyVersion=6.0 SP1\n");
  script.fileTail = "&status=DENIED";
  s.Start(script.server.Port());
  ASSERT_TRUE(s.Click("#update12"));
  std::vector<test::ReceivedRequest> requests = script.server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine.rfind(std::string("POST ") + kUpdatePath + "?GetUpgradeList ", 0), 0u)
      << requests[0].requestLine;
  FieldMap list = test::RequestFields(requests[0].body, "GetUpgradeList");
  EXPECT_EQ(list.Get("KeyID"), "4294967295");
  EXPECT_EQ(list.Get("KeyType"), "NET");
  EXPECT_EQ(list.Get("KeyVersion"), "6.0 SP1");
  EXPECT_EQ(list.Get("updateversion"), "6.0.121.3");
  EXPECT_EQ(list.Get("DB"), "usermt");
  EXPECT_FALSE(list.Has("TableID"));
  EXPECT_EQ(requests[1].requestLine.rfind(std::string("POST ") + kUpdatePath + "?GetUpgradeFile ", 0), 0u);
  FieldMap file = test::RequestFields(requests[1].body, "GetUpgradeFile");
  EXPECT_EQ(file.Get("KeyID"), "4294967295");
  EXPECT_EQ(file.Get("updateversion"), "6.0.121.3");
  EXPECT_EQ(file.Get("TableID"), "12");
  EXPECT_EQ(file.Get("DB"), "usermt");
}

TEST_F(Scripted, RefusedListEndsTheRun) {
  for (const char* tail : {"&status=accepted", "&status=REFUSED", ""}) {
    Session run;
    run.InstallExe(QUON_E2E_EXE_603121);
    script.listTail = std::string(tail) + kListTable;
    run.Start(script.server.Port());
    EXPECT_EQ(run.Boxes(), std::vector<std::string>{"Operation Failed."}) << tail;
    EXPECT_EQ(run.view.endResults, std::vector<int>{2}) << tail;
  }
}

TEST_F(Scripted, RefusedDownloadKeepsTheListPage) {
  script.fileTail = "&status=DENIED&updateversion=6.0.122.3";
  s.Start(script.server.Port());
  const size_t pages = s.view.navigations.size();
  ASSERT_TRUE(s.Click("#update12"));
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{"Operation Failed."});
  EXPECT_EQ(s.view.navigations.size(), pages);
  EXPECT_FALSE(s.dlg->m_bInstallPage);
  EXPECT_TRUE(s.dlg->m_strDownloadFile.empty());
  EXPECT_TRUE(s.ProductHas("update12.0000"));  // what arrived stays until the next attempt names another
  EXPECT_FALSE(s.ProductHas("update12.0000.dir"));
}

TEST_F(Scripted, DownloadWithoutNewVersionIsAnInvalidResponse) {
  script.fileTail = "&status=ACCEPTED";
  s.Start(script.server.Port());
  ASSERT_TRUE(s.Click("#update12"));
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{"Error: Invalid server response."});
  EXPECT_TRUE(s.dlg->m_strNewVersion.empty());
  EXPECT_FALSE(s.dlg->m_bInstallPage);
}

}  // namespace
}  // namespace quon::e2e
