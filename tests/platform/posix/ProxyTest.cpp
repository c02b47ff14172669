// The system proxy settings and proxy authentication, through a real proxy
// (tinyproxy with Basic authentication) started by the test, and through a
// scripted one that shows what each request carried.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>

#include "net/ServerCalls.h"
#include "net/ServerExchange.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/FaultServer.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"
#include "support/RequiredTools.h"
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
    proxy = std::make_unique<TinyProxy>(dir.Root().string(), "quon", "s3cret");
    if (!proxy->Running()) QUON_SKIP_WITHOUT_TOOL(proxy->Problem());
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
  const std::string path = dir.Path("proxied.0000");
  ASSERT_EQ(1, DownloadToFile(env, LocalCall(server.Port(), "GetUpgradeFile"), fields, path));
  EXPECT_EQ(data, ReadFile(path));
}

// A proxy that answers every request itself: 407 (offering Basic) unless
// it carries the credentials quon / s3cret, else the accepted reply.
class ScriptedProxy {
 public:
  ScriptedProxy()
      : m_server([](const ReceivedRequest& request, FaultConnection& connection) {
          if (request.Header("Proxy-Authorization") != "Basic cXVvbjpzM2NyZXQ=") {
            connection.Send(HttpReply(407, "", "Proxy-Authenticate: Basic realm=\"quon\"\r\n"));
          } else {
            connection.Send(HttpReply(200, kPrefix + "code=" + RequestFields(request.body, kPrefix).Get("code")));
          }
        }) {}
  std::string Url(const std::string& userInfo = {}) const {
    return "http://" + userInfo + "127.0.0.1:" + std::to_string(m_server.Port());
  }
  // The Proxy-Authorization each request carried ("" for none).
  std::vector<std::string> Authorizations() const {
    std::vector<std::string> seen;
    for (const auto& r : m_server.Requests()) seen.push_back(r.Header("Proxy-Authorization"));
    return seen;
  }
  std::vector<ReceivedRequest> Requests() const { return m_server.Requests(); }

 private:
  FaultServer m_server;
};

// Credentials given once serve the rest of the run: the next call asks
// nobody and sends them with its first request. The prompt names the proxy
// without the password its setting carries.
TEST(ScriptedProxyTest, CredentialsAreAskedOnceAndSentWithEveryLaterRequest) {
  ClearProxyEnvironment();
  ScriptedProxy proxy;
  setenv("http_proxy", proxy.Url("quon:old%20secret@").c_str(), 1);
  RecordingPrompts prompts;
  prompts.AnswerProxy(std::make_pair("quon", "s3cret"));
  CurlHttpClient client(prompts);
  for (int call = 0; call < 2; ++call) {
    FieldMap fields;
    EXPECT_EQ(1, InternetCall_Function_Direct(client, prompts, LocalCall(9, kPrefix), fields, nullptr)) << call;
  }
  ClearProxyEnvironment();
  EXPECT_EQ(std::vector<std::string>{proxy.Url()}, prompts.ProxiesShown());
  const std::string basic = "Basic cXVvbjpzM2NyZXQ=";
  auto seen = proxy.Authorizations();
  ASSERT_EQ(3u, seen.size());
  EXPECT_NE(basic, seen[0]);  // the setting's own, refused
  EXPECT_EQ(basic, seen[1]);
  EXPECT_EQ(basic, seen[2]);
  EXPECT_TRUE(prompts.Boxes().empty());
}

// The desktop's settings (GIO's resolver) name the proxy; when they name
// none, http_proxy and no_proxy do.
TEST(ScriptedProxyTest, TheDesktopNamesTheProxyAndTheEnvironmentStandsIn) {
  struct Case {
    const char* name;
    bool desktopProxy;    // else the desktop says direct
    const char* noProxy;  // in the environment, with http_proxy set
  };
  for (const Case& c : {Case{"desktop", true, "127.0.0.1"}, Case{"environment", false, ""}}) {
    SCOPED_TRACE(c.name);
    ClearProxyEnvironment();
    ScriptedProxy desktop;
    ScriptedProxy environment;
    setenv("http_proxy", environment.Url().c_str(), 1);
    setenv("no_proxy", c.noProxy, 1);
    const char* direct[] = {"127.0.0.1", nullptr};  // the desktop's own list of hosts reached directly
    GProxyResolver* resolver =
        g_simple_proxy_resolver_new(desktop.Url().c_str(), c.desktopProxy ? nullptr : const_cast<gchar**>(direct));
    RecordingPrompts prompts;
    prompts.AnswerProxy(std::make_pair("quon", "s3cret"));
    CurlHttpClient client(prompts, resolver);
    g_object_unref(resolver);
    FieldMap fields;
    EXPECT_EQ(1, InternetCall_Function_Direct(client, prompts, LocalCall(9, kPrefix), fields, nullptr));
    ClearProxyEnvironment();
    const ScriptedProxy& used = c.desktopProxy ? desktop : environment;
    const ScriptedProxy& unused = c.desktopProxy ? environment : desktop;
    ASSERT_EQ(2u, used.Requests().size());
    EXPECT_EQ("POST http://127.0.0.1:9/quonupdate/service.asp?GetUpgradeList HTTP/1.0", used.Requests()[1].requestLine);
    EXPECT_TRUE(unused.Requests().empty());
    EXPECT_EQ(std::vector<std::string>{used.Url()}, prompts.ProxiesShown());
  }
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
