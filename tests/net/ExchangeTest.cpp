// The request/reply exchange against a scripted server: what goes on the
// wire, which replies are accepted, and what the user is told otherwise.
#include <gtest/gtest.h>

#include <ostream>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

#include "net/PayloadCodec.h"
#include "net/ServerCalls.h"
#include "net/ServerExchange.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/FaultServer.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;

const std::string kList = "GetUpgradeList";

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearProxyEnvironment(); }
  void TearDown() override { EXPECT_TRUE(WaitForWaitWorkers(10s)) << "a worker thread is still running"; }

  // Fills the update-list request the way the session does.
  static void FillRequest(FieldMap& fields) { FillIdentity(fields, "7.0.1.2"); }

  int Direct(const ServerCall& call, FieldMap& fields, uint32_t* error) {
    return InternetCall_Function_Direct(client, prompts, call, fields, error);
  }

  RecordingPrompts prompts;
  CurlHttpClient client{prompts};
};

TEST_F(ExchangeTest, RequestGoesOutByteForByteAndAcceptedReplyFillsTheFields) {
  FaultServer server(EchoCode(kList, "&status=ACCEPTED&rows=0", "\r\n\n\r\n"));
  FieldMap fields;
  FillRequest(fields);
  const std::time_t before = std::time(nullptr);
  uint32_t error = 99;
  ASSERT_EQ(1, Direct(LocalCall(server.Port(), kList), fields, &error));
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(0u, error);
  EXPECT_TRUE(prompts.Boxes().empty());

  // Only the reply's fields are left.
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  EXPECT_EQ("0", fields.Get("rows"));
  EXPECT_FALSE(fields.Has("KeyID"));
  EXPECT_FALSE(fields.Has("VI"));

  auto requests = server.Requests();
  ASSERT_EQ(1u, requests.size());
  const ReceivedRequest& request = requests[0];
  EXPECT_EQ("POST /quonupdate/service.asp?GetUpgradeList HTTP/1.0", request.requestLine);
  EXPECT_NE(std::string::npos, request.headers.find("\r\nContent-Type: application/x-quon-encoded\r\n"));
  EXPECT_EQ("QuonUpdate", request.Header("User-Agent"));
  EXPECT_EQ(std::to_string(request.body.size()), request.Header("Content-Length"));

  // The body is the prefix and the scrambled fields text: letters and
  // digits only, carrying the request fields, `code` 1..9999 and VI=2.
  ASSERT_EQ(0u, request.body.rfind("GetUpgradeList", 0));
  const std::string scrambled = request.body.substr(14);
  EXPECT_EQ(std::string::npos, scrambled.find_first_not_of(
                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  FieldMap sent = RequestFields(request.body, "GetUpgradeList");
  EXPECT_EQ(7u, sent.Size());
  EXPECT_EQ("2", sent.Get("VI"));
  EXPECT_EQ("7.0.1.2", sent.Get("KeyVersion"));
  EXPECT_EQ("usermt", sent.Get("DB"));
  const int code = std::stoi(sent.Get("code"));
  EXPECT_GE(code, 1);
  EXPECT_LE(code, 9999);
  EXPECT_EQ(std::to_string(code), sent.Get("code"));  // no leading zeros

  // Byte for byte: the same seed (the second of the call) gives the same
  // code and the same scrambled text.
  bool reproduced = false;
  for (std::time_t t = before; t <= after && !reproduced; ++t) {
    CrtSeed(static_cast<uint32_t>(t));
    FieldMap again;
    FillRequest(again);
    again.Set("code", std::to_string(CrtRand() % 9999 + 1));
    again.Set("VI", "2");
    reproduced = ("GetUpgradeList" + EncodeFields(again, true)) == request.body;
  }
  EXPECT_TRUE(reproduced);
}

TEST_F(ExchangeTest, WithoutQueryThePathHasNoQuestionMarkAndPlainRepliesMayBeScrambled) {
  FaultServer server([](const ReceivedRequest& request, FaultConnection& connection) {
    FieldMap sent = RequestFields(request.body, "GetUpgradeList");
    FieldMap reply;
    reply.Set("code", sent.Get("code"));
    reply.Set("status", "ACCEPTED");
    connection.Send(HttpReply(200, "GetUpgradeList" + EncodeFields(reply, true)));
  });
  ServerCall call = LocalCall(server.Port(), kList);
  call.query.reset();
  call.unscrambleReply = true;
  FieldMap fields;
  EXPECT_EQ(1, Direct(call, fields, nullptr));
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  ASSERT_EQ(1u, server.Requests().size());
  EXPECT_EQ("POST /quonupdate/service.asp HTTP/1.0", server.Requests()[0].requestLine);
}

struct RejectedReply {
  const char* name;
  std::function<std::string(const std::string& code)> reply;  // whole HTTP reply
  std::string shown;            // exact box text; "$" stands for the reply body
  bool fieldsLeft;              // the reply's fields stay in the map
};

// Cases print as their names.
void PrintTo(const RejectedReply& c, std::ostream* out) { *out << c.name; }

class RejectedReplyTest : public ExchangeTest, public ::testing::WithParamInterface<RejectedReply> {};

TEST_P(RejectedReplyTest, IsRefusedAndExplained) {
  const RejectedReply& c = GetParam();
  std::string replyBody;
  FaultServer server([&](const ReceivedRequest& request, FaultConnection& connection) {
    std::string reply = c.reply(RequestFields(request.body, "GetUpgradeList").Get("code"));
    replyBody = reply.substr(reply.find("\r\n\r\n") + 4);
    connection.Send(reply);
  });
  FieldMap fields;
  FillRequest(fields);
  uint32_t error = 99;
  EXPECT_EQ(0, Direct(LocalCall(server.Port(), kList), fields, &error));
  EXPECT_EQ(0u, error);
  auto boxes = prompts.Boxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(c.shown == "$" ? replyBody : c.shown, boxes[0].text);
  EXPECT_EQ(MsgIcon::Exclamation, boxes[0].icon);
  EXPECT_EQ(MsgButtons::Ok, boxes[0].buttons);
  EXPECT_FALSE(fields.Has("KeyID"));
  EXPECT_EQ(c.fieldsLeft, fields.Has("status"));

  // Silent: the same outcome without any box.
  RecordingPrompts quiet;
  CurlHttpClient quietClient(quiet);
  ServerCall call = LocalCall(server.Port(), kList);
  call.silent = true;
  FieldMap again;
  EXPECT_EQ(0, InternetCall_Function_Direct(quietClient, quiet, call, again, nullptr));
  EXPECT_TRUE(quiet.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RejectedReplyTest,
    ::testing::Values(
        RejectedReply{"EmptyBody", [](const std::string&) { return HttpReply(200, ""); }, "Logon Failed.  Error #565",
                      false},
        RejectedReply{"NotFound", [](const std::string&) { return HttpReply(404, "<html>missing</html>"); },
                      "Logon Failed. Error code=404\r\n  Error #570", false},
        RejectedReply{"ServerError", [](const std::string&) { return HttpReply(500, ""); },
                      "Logon Failed. Error code=500\r\n  Error #570", false},
        RejectedReply{"NoPrefix",
                      [](const std::string& code) { return HttpReply(200, "Service closed. code=" + code); }, "$",
                      false},
        RejectedReply{"WrongCode",
                      [](const std::string& code) {
                        return HttpReply(200, "GetUpgradeListstatus=ACCEPTED&code=" + code + "0");
                      },
                      "$", true},
        RejectedReply{"MissingCode",
                      [](const std::string&) { return HttpReply(200, "\r\nGetUpgradeListstatus=ACCEPTED"); }, "$",
                      true},
        RejectedReply{"CodeInOtherCase",
                      [](const std::string& code) {
                        return HttpReply(200, "GetUpgradeListstatus=ACCEPTED&Code=" + code);
                      },
                      "$", true},
        RejectedReply{"TextEndsAtItsFirstNul",
                      [](const std::string&) { return HttpReply(200, std::string("Try again later.\0garbage", 24)); },
                      "Try again later.", false}),
    [](const ::testing::TestParamInfo<RejectedReply>& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, UnreachableServersGiveOnlyTheInternetErrorBox) {
  struct Case {
    std::string host;
    uint16_t port;
    uint32_t code;
    std::string message;
  };
  const Case cases[] = {
      {"127.0.0.1", FreePort(), 12029, "A connection with the server could not be established"},
      {"update-server.invalid", 80, 12007, "The server name or address could not be resolved"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    RecordingPrompts boxes;
    CurlHttpClient http(boxes);
    ServerCall call = LocalCall(c.port, "GetUpgradeList");
    call.server = c.host;
    FieldMap fields;
    FillRequest(fields);
    uint32_t error = 0;
    EXPECT_EQ(0, InternetCall_Function_Direct(http, boxes, call, fields, &error));
    EXPECT_EQ(c.code, error);
    EXPECT_TRUE(fields.Empty());
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(c.message, boxes.Boxes()[0].text);
    EXPECT_EQ(MsgIcon::Stop, boxes.Boxes()[0].icon);

    call.silent = true;
    error = 0;
    EXPECT_EQ(0, InternetCall_Function_Direct(http, boxes, call, fields, &error));
    EXPECT_EQ(c.code, error);
    EXPECT_EQ(1u, boxes.Boxes().size());
  }
}

TEST_F(ExchangeTest, AResetWhileReadingTheReplyIsShownOnce) {
  FaultServer reset([](const ReceivedRequest&, FaultConnection& connection) {
    connection.Send(HttpHead(200) + "GetUpgradeListcode=1");
    std::this_thread::sleep_for(50ms);
    connection.Reset();
  });
  uint32_t error = 0;
  FieldMap fields;
  EXPECT_EQ(0, Direct(LocalCall(reset.Port(), "GetUpgradeList"), fields, &error));
  EXPECT_EQ(12031u, error);
  auto boxes = prompts.Boxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("The connection with the server was reset", boxes[0].text);
  EXPECT_EQ(MsgIcon::Stop, boxes[0].icon);
}

TEST_F(ExchangeTest, OverlongReplyIsRefusedNotHeld) {
  FaultServer server([](const ReceivedRequest&, FaultConnection& connection) {
    if (!connection.Send(HttpHead(200) + "GetUpgradeListcode=1&dbdata=")) return;
    std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 40 && connection.Send(chunk); ++i) {
    }
  });
  uint32_t error = 7;
  FieldMap fields;
  EXPECT_EQ(0, Direct(LocalCall(server.Port(), kList), fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_TRUE(fields.Empty());
  ASSERT_EQ(1u, prompts.Boxes().size());
  EXPECT_EQ("The server's reply is too large to be read.", prompts.Boxes()[0].text);
  EXPECT_EQ(MsgIcon::Stop, prompts.Boxes()[0].icon);
}

// ---- under the wait dialog ---------------------------------------------

TEST_F(ExchangeTest, CallServerRunsUnderThePlainFormAndHandsTheResultBack) {
  FaultServer server(EchoCode(kList, "&status=ACCEPTED"));
  HeadlessWaitHost host;
  NetEnvironment env{client, prompts, host};
  FieldMap fields;
  FillRequest(fields);
  uint32_t error = 5;
  EXPECT_EQ(1, CallServer(env, LocalCall(server.Port(), kList), fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  EXPECT_FALSE(fields.Has("KeyID"));
  WaitDialogRecord dialog = host.Last();
  EXPECT_EQ(WaitForm::Plain, dialog.form);
  EXPECT_TRUE(dialog.animationPlayed);
  EXPECT_EQ(std::vector<unsigned>{333}, dialog.timersStarted);
  EXPECT_EQ(std::vector<unsigned>{333}, dialog.timersStopped);
  EXPECT_EQ(1, dialog.doneMessages);
  EXPECT_EQ(1, dialog.endResult);
  EXPECT_FALSE(dialog.progressBarShown);

  // A failed call keeps its error code.
  FieldMap refused;
  EXPECT_EQ(0, CallServer(env, LocalCall(FreePort(), kList), refused, &error));
  EXPECT_EQ(12029u, error);
  EXPECT_EQ(1u, prompts.Boxes().size());
}

TEST_F(ExchangeTest, AHangingServerIsAbandonedAtTheTimeLimitAndTheUserIsToldOnce) {
  FaultServer server([](const ReceivedRequest&, FaultConnection& connection) { connection.Hang(); });
  HeadlessWaitHost host;
  // The same ten ticks of timer 333, made short.
  NetEnvironment env{client, prompts, host, 20};
  FieldMap fields;
  FillRequest(fields);
  ServerCall call = LocalCall(server.Port(), kList);
  call.silent = true;  // the wait's end is told all the same
  uint32_t error = 5;
  EXPECT_EQ(0, CallServer(env, call, fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_TRUE(fields.Empty());
  WaitDialogRecord dialog = host.Last();
  EXPECT_EQ(10, dialog.timerTicks);
  EXPECT_EQ(0, dialog.doneMessages);
  // The abandoned worker stops by itself and shows nothing; the limit is
  // told once, after the dialog, on the caller's thread.
  EXPECT_TRUE(WaitForWaitWorkers(10s));
  auto boxes = prompts.Boxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("The update server has not answered for nearly ten minutes. The request was abandoned.", boxes[0].text);
  EXPECT_EQ(std::this_thread::get_id(), boxes[0].thread);
  EXPECT_EQ(0, dialog.callsAfterEnd);
}

// A worker that the wait abandoned keeps the client and the prompts (their
// owner) until it ends, after the caller has let go of them.
TEST_F(ExchangeTest, AnAbandonedWorkerKeepsTheClientAndThePromptsUntilItEnds) {
  struct StuckClient : HttpClient {
    explicit StuckClient(std::shared_ptr<std::atomic<bool>> go) : release(std::move(go)) {}
    std::unique_ptr<HttpSession> OpenSession(std::string_view, const CancelFlag*) override {
      while (!*release) std::this_thread::sleep_for(1ms);  // deaf to the cancel flag
      return nullptr;
    }
    std::shared_ptr<std::atomic<bool>> release;
  };
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto stuck = std::make_shared<StuckClient>(release);
  std::weak_ptr<StuckClient> watch = stuck;
  {
    HeadlessWaitHost host;
    NetEnvironment env{*stuck, prompts, host, 20, stuck};
    stuck.reset();
    FieldMap fields;
    EXPECT_EQ(0, CallServer(env, LocalCall(FreePort(), kList), fields, nullptr));
  }
  EXPECT_FALSE(watch.expired());
  *release = true;
  EXPECT_TRUE(WaitForWaitWorkers(10s));
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace quon::test
