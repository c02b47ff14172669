// The exchange's own steps over a scripted transport (no sockets, so this
// also runs in the Windows build): the proxy retry, the WinINet flags, the
// abandonment, and failures a real server can hardly produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "net/PayloadCodec.h"
#include "net/ServerExchange.h"
#include "support/RecordingPrompts.h"

namespace quon {
namespace {

struct Scripted {
  uint32_t status = 200;
  std::string body;
  std::optional<uint32_t> sendFails = std::nullopt;  // an Internet error raised by Send
  bool readFails = false;             // the first read raises 12031
};

struct Log {
  std::string agent;
  std::string host;
  uint16_t port = 0;
  std::vector<std::string> opened;  // "VERB path version flags"
  std::vector<std::pair<std::string, std::string>> sent;
  std::vector<uint32_t> readSizes;
  int proxyPrompts = 0;
  uint32_t readBufferSize = 0;
};

class FakeRequest : public HttpRequest {
 public:
  FakeRequest(Log& log, std::deque<Scripted>& replies, std::deque<uint32_t>& proxyAnswers,
              std::function<void(const std::string&)> onSend)
      : m_log(log), m_replies(replies), m_proxyAnswers(proxyAnswers), m_onSend(std::move(onSend)) {}
  void Send(std::string_view headers, std::string_view body) override {
    m_log.sent.emplace_back(std::string(headers), std::string(body));
    m_reply = m_replies.front();
    m_replies.pop_front();
    if (m_reply.sendFails) throw InternetException(*m_reply.sendFails, "send failed");
    if (m_onSend) m_onSend(std::string(body));
  }
  uint32_t QueryStatusCode() override { return m_reply.status; }
  std::optional<uint64_t> ContentLength() override { return std::nullopt; }
  uint32_t ProxyAuthDialog() override {
    ++m_log.proxyPrompts;
    uint32_t answer = m_proxyAnswers.front();
    m_proxyAnswers.pop_front();
    return answer;
  }
  void SetReadBufferSize(uint32_t bytes) override { m_log.readBufferSize = bytes; }
  size_t Read(void* buffer, size_t n) override {
    m_log.readSizes.push_back(static_cast<uint32_t>(n));
    if (m_reply.readFails) throw InternetException(12031, "reset");
    size_t take = std::min(n, m_reply.body.size() - m_at);
    std::memcpy(buffer, m_reply.body.data() + m_at, take);
    m_at += take;
    return take;
  }

 private:
  Log& m_log;
  std::deque<Scripted>& m_replies;
  std::deque<uint32_t>& m_proxyAnswers;
  std::function<void(const std::string&)> m_onSend;
  Scripted m_reply;
  size_t m_at = 0;
};

class FakeHttp : public HttpClient, public HttpSession, public HttpConnection {
 public:
  std::unique_ptr<HttpSession> OpenSession(std::string_view agent, const CancelFlag*) override {
    log.agent = std::string(agent);
    struct Borrowed : HttpSession {
      explicit Borrowed(HttpSession& s) : s(s) {}
      std::unique_ptr<HttpConnection> Connect(std::string_view h, uint16_t p) override { return s.Connect(h, p); }
      HttpSession& s;
    };
    return std::make_unique<Borrowed>(*this);
  }
  std::unique_ptr<HttpConnection> Connect(std::string_view host, uint16_t port) override {
    log.host = std::string(host);
    log.port = port;
    struct Borrowed : HttpConnection {
      explicit Borrowed(HttpConnection& c) : c(c) {}
      std::unique_ptr<HttpRequest> OpenRequest(std::string_view v, std::string_view p, std::string_view ver,
                                               uint32_t f) override {
        return c.OpenRequest(v, p, ver, f);
      }
      HttpConnection& c;
    };
    return std::make_unique<Borrowed>(*this);
  }
  std::unique_ptr<HttpRequest> OpenRequest(std::string_view verb, std::string_view path, std::string_view version,
                                           uint32_t flags) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", flags);
    log.opened.push_back(std::string(verb) + " " + std::string(path) + " " + std::string(version) + " " + hex);
    return std::make_unique<FakeRequest>(log, replies, proxyAnswers, onSend);
  }

  Log log;
  std::deque<Scripted> replies;
  std::deque<uint32_t> proxyAnswers;
  std::function<void(const std::string&)> onSend;
};

using Boxes = test::RecordingPrompts;

ServerCall Call() {
  ServerCall call;
  call.server = "updates.example";
  call.port = 8080;
  call.object = "/svc.asp";
  call.query = "GetUpgradeList";
  call.prefix = "GetUpgradeList";
  call.agent = "QuonUpdate";
  return call;
}

std::string CodeOf(const std::string& body) {
  FieldMap fields;
  DecodeFields(body.substr(std::string("GetUpgradeList").size()), fields, true);
  return fields.Get("code");
}

TEST(ExchangeLogicTest, AProxyRetrySendsTheSameBodyOnTheSameConnection) {
  FakeHttp http;
  Boxes boxes;
  http.replies = {{407, "<html>proxy says no</html>\r\nsecond line\r\n"}, {407, "again"}, {200, ""}};
  http.proxyAnswers = {inet::kErrorForceRetry, inet::kErrorForceRetry};
  FieldMap fields;
  fields.Set("KeyID", "5");
  // The accepted reply echoes the request's code, known once it is sent.
  http.onSend = [&](const std::string& body) {
    if (http.replies.empty()) return;
    http.replies.back().body = "GetUpgradeListcode=" + CodeOf(body) + "&status=ACCEPTED";
  };
  uint32_t error = 3;
  EXPECT_EQ(1, InternetCall_Function_Direct(http, boxes, Call(), fields, &error));
  EXPECT_EQ(0u, error);
  EXPECT_EQ(2, http.log.proxyPrompts);
  EXPECT_EQ("QuonUpdate", http.log.agent);
  EXPECT_EQ("updates.example", http.log.host);
  EXPECT_EQ(8080, http.log.port);
  ASSERT_EQ(3u, http.log.opened.size());
  for (const auto& opened : http.log.opened) EXPECT_EQ("POST /svc.asp?GetUpgradeList HTTP/1.0 84400000", opened);
  ASSERT_EQ(3u, http.log.sent.size());
  EXPECT_EQ("Content-Type: application/x-quon-encoded", http.log.sent[0].first);
  EXPECT_EQ(http.log.sent[0], http.log.sent[1]);
  EXPECT_EQ(http.log.sent[0], http.log.sent[2]);
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST(ExchangeLogicTest, PlainRepliesAreReadInPiecesOfAtMost5000Bytes) {
  FakeHttp http;
  Boxes boxes;
  // A long reply without the prefix: shown as it stands.
  http.replies = {{200, std::string(23456, 'r')}};
  FieldMap fields;
  EXPECT_EQ(0, InternetCall_Function_Direct(http, boxes, Call(), fields, nullptr));
  ASSERT_EQ(1u, boxes.Messages().size());
  EXPECT_EQ(std::string(23456, 'r'), boxes.Messages()[0]);
  for (uint32_t n : http.log.readSizes) EXPECT_EQ(5000u, n);
  EXPECT_EQ(6u, http.log.readSizes.size());  // four full pieces, a part, the end
}

TEST(ExchangeLogicTest, FailuresOfEachPhaseAreShownOnceWithTheirCode) {
  struct Case {
    bool download;
    Scripted reply;
    uint32_t error;
    const char* text;
  };
  for (const Case& c : {Case{false, {200, "", 12029}, 12029, "send failed"},
                        Case{false, {200, "", std::nullopt, true}, 12031, "reset"},
                        Case{true, {200, "", std::nullopt, true}, 12031, "reset"}}) {
    SCOPED_TRACE(c.text + std::string(c.download ? " (download)" : ""));
    FakeHttp http;
    Boxes boxes;
    http.replies = {c.reply};
    uint32_t error = 0;
    int32_t written = 5;
    FieldMap fields;
    EXPECT_EQ(0, c.download ? InternetCall_Function_GetFile(http, boxes, Call(), fields, &error, "unused.0000",
                                                             &written, nullptr)
                            : InternetCall_Function_Direct(http, boxes, Call(), fields, &error));
    EXPECT_EQ(c.error, error);
    ASSERT_EQ(std::vector<std::string>{c.text}, boxes.Messages());
    EXPECT_EQ(MsgIcon::Stop, boxes.Boxes()[0].icon);
    // The download reports nothing written and asks for a 4096-byte buffer.
    if (c.download) {
      EXPECT_EQ(0, written);
    }
    if (c.download) {
      EXPECT_EQ(4096u, http.log.readBufferSize);
    }
  }
}

TEST(ExchangeLogicTest, AnAbandonedCallStopsAtItsNextStepAndShowsNothing) {
  FakeHttp http;
  Boxes boxes;
  CancelFlag cancel;
  http.replies = {{404, ""}};
  http.onSend = [&](const std::string&) { cancel.Cancel(); };
  FieldMap fields;
  EXPECT_EQ(0, InternetCall_Function_Direct(http, boxes, Call(), fields, nullptr, &cancel));
  EXPECT_TRUE(boxes.Boxes().empty());
}

}  // namespace
}  // namespace quon
