// The WinINet transport: what goes on the wire, the failures the user is
// told about, cancellation of a blocked call, and the exchange and the
// download against the reference update server.
#include "support/WinTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "base/BuildConfig.h"
#include "frontend/win/WaitDialog_win.h"
#include "net/FieldMap.h"
#include "net/PayloadCodec.h"
#include "net/ServerCalls.h"
#include "net/ServerExchange.h"
#include "platform/win/WinInetHttpClient.h"
#include "resource.h"
#include "support/FaultServer.h"

using namespace quon;
using namespace quon::win;
using namespace quon::wintest;
using namespace quon::test;

namespace {

constexpr uint32_t kRequestFlags = 0x84400000;
const char kContentType[] = "Content-Type: application/x-quon-encoded";

// The header text of an accepted file reply to `request`.
std::string FileHeader(const ReceivedRequest& request, size_t length) {
  FieldMap reply;
  reply.Set("code", RequestFields(request.body, "GetUpgradeFile").Get("code"));
  reply.Set("status", "ACCEPTED");
  reply.Set("updateversion", "6.0.122.3");
  reply.Set("downloadlength", std::to_string(length));
  return "GetUpgradeFile" + EncodeFields(reply, false);
}

std::string ReadAll(HttpRequest& request, size_t piece) {
  std::string out;
  std::vector<char> buffer(piece);
  for (size_t n; (n = request.Read(buffer.data(), piece)) > 0;) out.append(buffer.data(), n);
  return out;
}

TEST(WinInetTransport, SendsThePostAsGivenAndReadsTheReply) {
  std::string replyBody(12345, '\0');
  for (size_t i = 0; i < replyBody.size(); ++i) replyBody[i] = static_cast<char>(i * 7);
  FaultServer server(Answer(HttpReply(200, replyBody)));
  WinInetHttpClient client;
  auto session = client.OpenSession("QuonUpdate", nullptr);
  ASSERT_TRUE(session);
  auto connection = session->Connect("127.0.0.1", server.Port());
  ASSERT_TRUE(connection);
  auto request = connection->OpenRequest("POST", "/quonupdate/service.asp?GetUpgradeList", "HTTP/1.0", kRequestFlags);
  ASSERT_TRUE(request);
  const std::string body = std::string("GetUpgradeList") + "a%3Db\x01\x7f\xff";
  request->Send(kContentType, body);
  EXPECT_EQ(request->QueryStatusCode(), 200u);
  request->SetReadBufferSize(4096);
  EXPECT_EQ(ReadAll(*request, 5000), replyBody);
  EXPECT_EQ(request->Read(nullptr, 0), 0u);

  auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].requestLine, "POST /quonupdate/service.asp?GetUpgradeList HTTP/1.0");
  EXPECT_EQ(seen[0].Header("Content-Type"), "application/x-quon-encoded") << seen[0].headers;
  EXPECT_EQ(seen[0].Header("User-Agent"), "QuonUpdate") << seen[0].headers;
  EXPECT_EQ(seen[0].Header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(seen[0].body, body);
}

// Cancelling closes the call's handles at once. Windows then ends a call
// blocked in WinINet; Wine lets it wait for the server, so the test lets the
// server go before it waits: either way the call ends as cancelled, never
// as a reply.
TEST(WinInetTransport, CancelledCallEndsAsCancelled) {
  std::atomic<bool> received{false};
  FaultServer server([&](const ReceivedRequest&, FaultConnection& connection) {
    received = true;
    connection.Hang();
  });
  WinInetHttpClient client;
  CancelFlag cancel;
  std::atomic<bool> ended{false};
  std::string outcome;
  std::thread worker([&] {
    try {
      auto session = client.OpenSession("QuonUpdate", &cancel);
      auto connection = session->Connect("127.0.0.1", server.Port());
      auto request = connection->OpenRequest("POST", "/x", "HTTP/1.0", kRequestFlags);
      request->Send(kContentType, "body");
      request->QueryStatusCode();
      outcome = "returned";
    } catch (const CancelledException&) {
      outcome = "cancelled";
    } catch (const InternetException& e) {
      outcome = "internet error " + std::to_string(e.Code());
    }
    ended = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return received.load(); }));
  Sleep(100);
  EXPECT_FALSE(ended);
  cancel.Cancel();
  WaitUntil([&] { return ended.load(); }, 1000);
  server.Stop();
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 60000));
  worker.join();
  EXPECT_EQ(outcome, "cancelled");

  // A cancelled session does nothing more.
  EXPECT_THROW(client.OpenSession("QuonUpdate", &cancel)->Connect("127.0.0.1", FreePort()), CancelledException);
}

struct FailureCase {
  const char* name;
  std::string reply;
  std::string message;
};

TEST(WinInetExchange, FailuresAreToldToTheUser) {
  const std::vector<FailureCase> cases = {
      {"not found", HttpReply(404, "<html>missing</html>"), "Logon Failed. Error code=404\r\n  Error #570"},
      {"empty 2xx", HttpReply(200, ""), "Logon Failed.  Error #565"},
      {"server text", HttpReply(200, "Service closed for maintenance."), "Service closed for maintenance."},
      {"server error", HttpReply(500, "oops"), "Logon Failed. Error code=500\r\n  Error #570"},
  };
  WinInetHttpClient client;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultServer server(Answer(c.reply));
    RecordingPrompts prompts;
    FieldMap fields;
    fields.Set("KeyID", "7");
    uint32_t error = 99;
    EXPECT_EQ(InternetCall_Function_Direct(client, prompts, LocalCall(server.Port(), "GetUpgradeList"), fields, &error), 0);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(prompts.Messages(), std::vector<std::string>{c.message});
    EXPECT_FALSE(fields.Has("KeyID"));
  }
}

TEST(WinInetExchange, UnreachableServerShowsOnlyTheInternetError) {
  WinInetHttpClient client;
  uint16_t port = FreePort();
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent);
    RecordingPrompts prompts;
    FieldMap fields;
    uint32_t error = 0;
    EXPECT_EQ(InternetCall_Function_Direct(client, prompts, LocalCall(port, "GetUpgradeList", silent), fields, &error),
              0);
    EXPECT_EQ(error, inet::kErrorCannotConnect);
    if (silent) {
      EXPECT_TRUE(prompts.Messages().empty());
    } else {
      ASSERT_EQ(prompts.Messages().size(), 1u);
      EXPECT_EQ(prompts.Messages()[0], WinInetErrorText(inet::kErrorCannotConnect));
      EXPECT_EQ(prompts.Messages()[0].find('\n'), std::string::npos);  // the system's text, one line
      EXPECT_EQ(prompts.Boxes()[0].icon, MsgIcon::Stop);
    }
  }
}

TEST(WinInetDownload, WritesTheDataAndRefusesAPlainTextReply) {
  std::string data(123457, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 31) ^ (i >> 8));
  std::string dir = MakeTempDir("quon-dl-");
  WinInetHttpClient client;
  RecordingPrompts prompts;
  FieldMap fields;
  int32_t written = -1;
  auto getFile = [&](FaultServer::Handler handler, const std::string& path) {
    FaultServer server(std::move(handler));
    uint32_t error = 0;
    return InternetCall_Function_GetFile(client, prompts, LocalCall(server.Port(), "GetUpgradeFile"), fields, &error,
                                         path, &written, nullptr);
  };
  EXPECT_EQ(getFile([&](const ReceivedRequest& request, FaultConnection& connection) {
    connection.Send(HttpReply(200, FileReplyBody(FileHeader(request, data.size()), data)));
  }, dir + "update101.0000"), 1);
  EXPECT_TRUE(prompts.Messages().empty());
  EXPECT_EQ(written, static_cast<int32_t>(data.size()));
  EXPECT_TRUE(FileText(dir + "update101.0000") == data);
  EXPECT_EQ(fields.Get("updateversion"), "6.0.122.3");

  EXPECT_EQ(getFile(Answer(HttpReply(200, "No such update.")), dir + "update102.0000"), 0);
  EXPECT_EQ(prompts.Messages(), std::vector<std::string>{"No such update."});
  EXPECT_FALSE(Exists(dir + "update102.0000"));
  RemoveTree(dir);
}

// Cancel in the progress form while the data is arriving: the caller gets 0
// at once, the file keeps what was written, the worker ends as cancelled.
TEST(WinInetDownload, CancelDuringTheDataEndsTheCall) {
  FaultServer server([&](const ReceivedRequest& request, FaultConnection& connection) {
    // Headers, the file header and the first 30000 of 1000000 bytes, then
    // nothing more until the server is let go.
    connection.Send(HttpHead(200, "Content-Length: 2000000\r\n") +
                    FileReplyBody(FileHeader(request, 1000000), std::string(30000, 'x')));
    connection.Hang();
  });
  std::string dir = MakeTempDir("quon-cancel-");
  std::string path = dir + "update7.0000";
  WinInetHttpClient client;
  RecordingPrompts prompts;
  WinWaitDialogHost wait;
  NetEnvironment env{client, prompts, wait};
  std::thread canceller([&] {
    // Once 30000 bytes are in the file, press Cancel.
    WaitUntil([&] {
      WIN32_FILE_ATTRIBUTE_DATA data;
      return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow >= 30000;
    }, 30000);
    HWND dialog = nullptr;
    WaitUntil([&] { return (dialog = ActiveWaitDialog()) != nullptr; });
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_WAIT_CANCEL, BN_CLICKED), 0);
  });
  FieldMap fields;
  fields.Set("TableID", "7");
  EXPECT_EQ(DownloadToFile(env, LocalCall(server.Port(), "GetUpgradeFile"), fields, path), 0);
  canceller.join();
  server.Stop();
  EXPECT_TRUE(WaitForWaitWorkers(std::chrono::seconds(60)));
  EXPECT_TRUE(prompts.Messages().empty()) << ::testing::PrintToString(prompts.Messages());
  EXPECT_EQ(FileText(path), std::string(30000, 'x'));
  RemoveTree(dir);
}

// ---- against the reference server (started by the test wrapper) ---------

class ReferenceServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_port) GTEST_SKIP() << "no reference server (build the Linux configuration first)";
  }
  ServerCall Call(const char* function) {
    ServerCall call = LocalCall(m_port, function);
    call.object = kUpdatePath;
    return call;
  }
  static void FillRequest(FieldMap& fields) {
    fields.Set("KeyID", "0");
    fields.Set("KeyType", "");
    fields.Set("KeyVersion", "");
    fields.Set("updateversion", "6.0.121.3");
    fields.Set("DB", "usermt");
  }
  const uint16_t m_port = ReferenceServerPort();
};

// The update list, then the archive under the progress form, then a refusal
// shown as the server wrote it.
TEST_F(ReferenceServer, UpdateListAndDownloadUnderTheWaitDialog) {
  WinInetHttpClient client;
  RecordingPrompts prompts;
  WinWaitDialogHost wait;
  NetEnvironment env{client, prompts, wait};

  FieldMap list;
  FillRequest(list);
  uint32_t error = 0;
  ASSERT_EQ(CallServer(env, Call("GetUpgradeList"), list, &error), 1) << ::testing::PrintToString(prompts.Messages());
  EXPECT_EQ(list.Get("status"), "ACCEPTED");
  EXPECT_GE(std::atoi(list.Get("rows").c_str()), 1);
  EXPECT_NE(list.Get("dbdata").find("101;"), std::string::npos) << list.Get("dbdata");

  std::string dir = MakeTempDir("quon-ref-");
  FieldMap file;
  FillRequest(file);
  file.Set("TableID", "101");
  std::string path = dir + "update101.0000";
  ASSERT_EQ(DownloadToFile(env, Call("GetUpgradeFile"), file, path), 1) << ::testing::PrintToString(prompts.Messages());
  EXPECT_EQ(file.Get("status"), "ACCEPTED");
  EXPECT_EQ(file.Get("updateversion"), "6.0.122.3");
  std::string archive = FileText(path);
  EXPECT_EQ(archive.substr(0, 4), "MSCF");
  EXPECT_EQ(std::to_string(archive.size()), file.Get("downloadlength"));
  EXPECT_TRUE(prompts.Messages().empty());

  FieldMap unknown;
  FillRequest(unknown);
  unknown.Set("TableID", "999999");
  EXPECT_EQ(DownloadToFile(env, Call("GetUpgradeFile"), unknown, dir + "update999999.0000"), 0);
  EXPECT_EQ(prompts.Messages(),
            std::vector<std::string>{"The requested update 999999 is not available on this server."});
  EXPECT_FALSE(Exists(dir + "update999999.0000"));
  RemoveTree(dir);
}

}  // namespace
