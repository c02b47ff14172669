// The system proxy settings and proxy authentication, through a real proxy
// (tinyproxy with Basic authentication) started by the test.
#include <gtest/gtest.h>

#include <chrono>

#include "app/HeadlessWaitHost.h"
#include "net/CurlHttpClient.h"
#include "net/ServerExchange.h"
#include "support/FaultServer.h"
#include "support/NetTestSupport.h"
#include "support/TinyProxy.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;

const std::string kPrefix = "GetUpgradeList";

FaultServer::Handler Accepting() { return EchoCode(kPrefix, "&status=ACCEPTED"); }

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearProxyEnvironment();
    proxy = std::make_unique<TinyProxy>(dir.Path().string(), "quon", "s3cret");
    if (!proxy->Running()) GTEST_SKIP() << proxy->Problem();
    setenv("http_proxy", proxy->Url().c_str(), 1);
  }
  void TearDown() override {
    ClearProxyEnvironment();
    EXPECT_TRUE(WaitForWaitWorkers(10s));
    proxy.reset();
  }

  TempDir dir;
  std::unique_ptr<TinyProxy> proxy;
  RecordingPrompts prompts;
  CurlHttpClient client{prompts};
};

TEST_F(ProxyTest, CredentialsFromThePromptLetTheSameRequestThrough) {
  FaultServer server(Accepting());
  prompts.AnswerProxy(std::make_pair("quon", "s3cret"));
  FieldMap fields;
  fields.Set("KeyID", "1");
  uint32_t error = 9;
  EXPECT_EQ(1, InternetCall_Function_Direct(client, prompts, LocalCall(server.Port(), kPrefix), fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_EQ(1, prompts.ProxyPrompts());
  EXPECT_TRUE(prompts.Boxes().empty());
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  // Only the authorised request reaches the server, with the request's body.
  auto requests = server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("1", RequestFields(requests[0].body, kPrefix).Get("KeyID"));
  EXPECT_EQ("application/x-quon-encoded", requests[0].Header("Content-Type"));
}

TEST_F(ProxyTest, ADismissedPromptEndsTheCallWithStatus407) {
  FaultServer server(Accepting());
  prompts.AnswerProxy(std::nullopt);
  FieldMap fields;
  uint32_t error = 9;
  EXPECT_EQ(0, InternetCall_Function_Direct(client, prompts, LocalCall(server.Port(), kPrefix), fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_EQ(1, prompts.ProxyPrompts());
  ASSERT_EQ(1u, prompts.Boxes().size());
  EXPECT_EQ("Logon Failed. Error code=407\r\n  Error #570", prompts.Boxes()[0].text);
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(ProxyTest, ADownloadUnderTheDialogAuthenticatesToo) {
  const std::string data(250000, 'q');
  FaultServer server(EchoCodeFile("GetUpgradeFile", "", data));
  prompts.AnswerProxy(std::make_pair("quon", "s3cret"));
  HeadlessWaitHost host;
  NetEnvironment env{client, prompts, host};
  FieldMap fields;
  const std::string path = dir.File("proxied.0000");
  ASSERT_EQ(1, DownloadToFile(env, LocalCall(server.Port(), "GetUpgradeFile"), fields, path));
  EXPECT_EQ(data, ReadFile(path));
}

TEST_F(ProxyTest, NoProxyListBypassesTheProxy) {
  FaultServer server(Accepting());
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(FreePort())).c_str(), 1);  // nothing there
  setenv("no_proxy", "127.0.0.1", 1);
  FieldMap fields;
  EXPECT_EQ(1, InternetCall_Function_Direct(client, prompts, LocalCall(server.Port(), kPrefix), fields, nullptr));
  EXPECT_EQ(0, prompts.ProxyPrompts());

  // Without the bypass the same call goes to the (absent) proxy.
  unsetenv("no_proxy");
  uint32_t error = 0;
  EXPECT_EQ(0, InternetCall_Function_Direct(client, prompts, LocalCall(server.Port(), kPrefix), fields, &error));
  EXPECT_EQ(12029u, error);
}

}  // namespace
}  // namespace quon::test
