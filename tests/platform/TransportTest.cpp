// The same replies through the platform's transport (libcurl on Linux,
// WinINet under Wine): a reply cut short of its stated length, redirects
// and cookies give the same outcome on both.
#include <gtest/gtest.h>

#include <mutex>

#include "net/ServerExchange.h"
#include "support/FaultServer.h"
#include "support/NetTestSupport.h"

namespace quon::test {
namespace {

const std::string kList = "GetUpgradeList";
const std::string kFile = "GetUpgradeFile";

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearProxyEnvironment(); }

  int Direct(const ServerCall& call, FieldMap& fields, uint32_t* error) {
    return InternetCall_Function_Direct(*client, prompts, call, fields, error);
  }

  RecordingPrompts prompts;
  std::unique_ptr<HttpClient> client = PlatformHttpClient(prompts);
};

// An update list that would be accepted and a file that would be written
// whole, each stopping short of the length the server stated.
TEST_F(TransportTest, AReplyCutShortOfItsLengthFailsAndSaysSo) {
  TempDir dir;
  const std::string data(50000, 'd');
  struct Case {
    const std::string& function;
    std::string (*body)(const std::string& code, const std::string& data);
  };
  const Case cases[] = {
      {kList, [](const std::string& code, const std::string&) { return kList + "code=" + code + "&status=ACCEPTED"; }},
      {kFile, [](const std::string& code, const std::string& d) { return FileReplyBody(kFile + "code=" + code, d); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    std::string body;
    FaultServer server([&](const ReceivedRequest& request, FaultConnection& connection) {
      body = c.body(RequestFields(request.body, c.function).Get("code"), data);
      connection.Send(HttpHead(200, "Content-Length: " + std::to_string(body.size() + 1000) + "\r\n") + body);
    });
    RecordingPrompts boxes;
    FieldMap fields;
    uint32_t error = 0;
    const std::string path = dir.Path("update1.0000");
    int32_t written = 0;
    const int result = c.function == kList
                           ? InternetCall_Function_Direct(*client, boxes, LocalCall(server.Port(), kList), fields, &error)
                           : InternetCall_Function_GetFile(*client, boxes, LocalCall(server.Port(), kFile), fields,
                                                           &error, path, &written, nullptr);
    EXPECT_EQ(0, result);
    EXPECT_EQ(inet::kErrorConnectionAborted, error);
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ("The server's reply was cut short: " + std::to_string(body.size()) + " of " +
                  std::to_string(body.size() + 1000) + " bytes arrived.",
              boxes.Boxes()[0].text);
    EXPECT_EQ(MsgIcon::Stop, boxes.Boxes()[0].icon);
    if (c.function == kFile) {
      EXPECT_EQ(static_cast<int32_t>(data.size()), written);
    }
  }
}

// A server that moves the service: the first request is answered with a
// redirect, the request it leads to with the reply to the first one's code.
class MovingServer {
 public:
  MovingServer(int status, bool toOtherServer)
      : m_status(status),
        m_target([this](const ReceivedRequest& r, FaultConnection& c) { Serve(r, c); }),
        m_origin([this](const ReceivedRequest& r, FaultConnection& c) { Serve(r, c); }) {
    m_location = toOtherServer ? "http://127.0.0.1:" + std::to_string(m_target.Port()) + "/moved/service.asp?x=1"
                               : "/moved/service.asp?x=1";
  }
  uint16_t Port() const { return m_origin.Port(); }
  std::vector<ReceivedRequest> Requests() const {
    auto requests = m_origin.Requests();
    for (const auto& r : m_target.Requests()) requests.push_back(r);
    return requests;
  }

 private:
  void Serve(const ReceivedRequest& request, FaultConnection& connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (request.requestLine.find(" /moved/") == std::string::npos) {
      m_code = RequestFields(request.body, kList).Get("code");
      connection.Send(HttpReply(m_status, "moved", "Location: " + m_location + "\r\n"));
    } else {
      connection.Send(HttpReply(200, kList + "code=" + m_code + "&status=ACCEPTED"));
    }
  }

  int m_status;
  std::mutex m_mutex;
  std::string m_code;
  std::string m_location;
  FaultServer m_target;
  FaultServer m_origin;
};

TEST_F(TransportTest, RedirectsAreFollowedPostBecomingGetOn301To303) {
  struct Case {
    int status;
    bool toOtherServer;
    const char* verb;
  };
  for (const Case& c : {Case{301, false, "GET"}, Case{302, true, "GET"}, Case{303, false, "GET"},
                        Case{307, true, "POST"}, Case{308, false, "POST"}}) {
    SCOPED_TRACE(c.status);
    MovingServer server(c.status, c.toOtherServer);
    FieldMap fields;
    fields.Set("KeyID", "5");
    uint32_t error = 9;
    EXPECT_EQ(1, Direct(LocalCall(server.Port(), kList), fields, &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ("ACCEPTED", fields.Get("status"));
    auto requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(std::string(c.verb) + " /moved/service.asp?x=1 HTTP/1.0", requests[1].requestLine);
    EXPECT_EQ(c.status >= 307 ? requests[0].body : "", requests[1].body);
  }
  EXPECT_TRUE(prompts.Boxes().empty());
}

TEST_F(TransportTest, ARedirectLoopOrAnotherSchemeEndsAsAFailedRedirect) {
  struct Case {
    const char* location;
    size_t requests;  // the first and five redirects followed
  };
  for (const Case& c : {Case{"/loop", 1 + redirect::kMaxRedirects}, Case{"https://127.0.0.1:1/secure", 1}}) {
    SCOPED_TRACE(c.location);
    FaultServer server(Answer(HttpReply(302, "", std::string("Location: ") + c.location + "\r\n")));
    RecordingPrompts boxes;
    FieldMap fields;
    uint32_t error = 0;
    EXPECT_EQ(0, InternetCall_Function_Direct(*client, boxes, LocalCall(server.Port(), kList), fields, &error));
    EXPECT_EQ(inet::kErrorRedirectFailed, error);
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(MsgIcon::Stop, boxes.Boxes()[0].icon);
    EXPECT_EQ(c.requests, server.Requests().size());
  }
}

TEST_F(TransportTest, CookiesTheServerSetsGoBackForTheRestOfTheRun) {
  // The cookie's own path keeps it from other tests' requests to loopback.
  FaultServer server([](const ReceivedRequest& request, FaultConnection& connection) {
    const std::string code = RequestFields(request.body, kList).Get("code");
    connection.Send(HttpReply(200, kList + "code=" + code, "Set-Cookie: quon-run=7f3a; Path=/cookie-check\r\n"));
  });
  ServerCall call = LocalCall(server.Port(), kList);
  call.object = "/cookie-check/service.asp";
  for (int i = 0; i < 2; ++i) {
    FieldMap fields;
    EXPECT_EQ(1, Direct(call, fields, nullptr));
  }
  auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("", requests[0].Header("Cookie"));
  EXPECT_EQ("quon-run=7f3a", requests[1].Header("Cookie"));
}

}  // namespace
}  // namespace quon::test
