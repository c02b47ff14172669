// The exchange and the download against the reference update server.
#include <gtest/gtest.h>

#include <chrono>

#include "net/ServerCalls.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"
#include "support/ReferenceServer.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;

class ReferenceServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearProxyEnvironment();
    WriteFile(root.Path("update.cab"), archive);
    WriteCatalog(root.Root().string(), 101, "6.0.121.3", "6.0.122.3", "update.cab");
    server = std::make_unique<ReferenceServer>(QUON_UPDATE_SERVER_EXE, root.Root().string());
    ASSERT_TRUE(server->Running()) << server->Problem();
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForWaitWorkers(10s));
    server.reset();
  }

  static void Identity(FieldMap& fields) { FillIdentity(fields, "6.0.121.3"); }

  TempDir root;
  TempDir local;
  const std::string archive = Pattern(1234567);
  std::unique_ptr<ReferenceServer> server;
  RecordingPrompts prompts;
  CurlHttpClient client{prompts};
  HeadlessWaitHost host;
  NetEnvironment env{client, prompts, host};
};

TEST_F(ReferenceServerTest, ListsAndDownloadsAnUpdate) {
  FieldMap fields;
  Identity(fields);
  uint32_t error = 1;
  ASSERT_EQ(1, CallServer(env, LocalCall(server->Port(), "GetUpgradeList"), fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  EXPECT_EQ("1", fields.Get("rows"));
  EXPECT_EQ(0u, fields.Get("dbdata").rfind("101;", 0));

  FieldMap file;
  Identity(file);
  file.Set("TableID", "101");
  const std::string path = local.Path("update101.0000");
  ASSERT_EQ(1, DownloadToFile(env, LocalCall(server->Port(), "GetUpgradeFile"), file, path));
  EXPECT_EQ("ACCEPTED", file.Get("status"));
  EXPECT_EQ("6.0.122.3", file.Get("updateversion"));
  EXPECT_TRUE(ReadFile(path) == archive);
  WaitDialogRecord dialog = host.Last();
  ASSERT_EQ(13u, dialog.detailTexts.size());
  EXPECT_EQ("1200 KB  of  1234 KB", dialog.detailTexts.back());
  EXPECT_EQ(97, dialog.positions.back());
  EXPECT_TRUE(prompts.Boxes().empty());
}

TEST_F(ReferenceServerTest, ARefusalIsShownAsTheServerWroteIt) {
  FieldMap file;
  Identity(file);
  file.Set("TableID", "99");
  const std::string path = local.Path("update99.0000");
  EXPECT_EQ(0, DownloadToFile(env, LocalCall(server->Port(), "GetUpgradeFile"), file, path));
  ASSERT_EQ(1u, prompts.Boxes().size());
  EXPECT_EQ("The requested update 99 is not available on this server.", prompts.Boxes()[0].text);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace quon::test
