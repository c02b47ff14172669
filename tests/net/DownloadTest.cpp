// The chunked download against a scripted server: where the data goes in
// the file, what the progress form shows, and every way the reply can fail.
#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <regex>
#include <thread>

#include "net/ServerCalls.h"
#include "net/ServerExchange.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/FaultServer.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kPrefix = "GetUpgradeFile";

// A file reply whose header echoes the request's code followed by `extra`.
FaultServer::Handler FileReply(std::string extra, std::string data) {
  return EchoCodeFile(kPrefix, std::move(extra), std::move(data));
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearProxyEnvironment();
    env.downloadRetry.pause = [](std::chrono::milliseconds, const CancelFlag*) { return true; };
  }
  void TearDown() override { EXPECT_TRUE(WaitForWaitWorkers(10s)) << "a worker thread is still running"; }

  int Download(uint16_t port, FieldMap& fields, const std::string& path, bool silent = false) {
    ServerCall call = LocalCall(port, kPrefix);
    call.silent = silent;
    fields.Set("TableID", "12");
    return DownloadToFile(env, call, fields, path);
  }

  RecordingPrompts prompts;
  CurlHttpClient client{prompts};
  HeadlessWaitHost host;
  NetEnvironment env{client, prompts, host};
  TempDir dir;
};

TEST_F(DownloadTest, WholeFileReplacesAnExistingOneAndShowsNoProgressUnderTenBlocks) {
  const std::string data = Pattern(89999);  // nine blocks
  FaultServer server(FileReply("&status=ACCEPTED&updateversion=7.1.0.0&downloadlength=89999", data));
  const std::string path = dir.Path("update12.0000");
  WriteFile(path, std::string(200000, 'o'));
  FieldMap fields;
  ASSERT_EQ(1, Download(server.Port(), fields, path));
  EXPECT_EQ(data, ReadFile(path));
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  EXPECT_EQ("7.1.0.0", fields.Get("updateversion"));
  EXPECT_TRUE(prompts.Boxes().empty());

  WaitDialogRecord dialog = host.Last();
  EXPECT_EQ(WaitForm::Progress, dialog.form);
  EXPECT_EQ((std::vector<std::string>{"Downloading file..."}), dialog.statusTexts);
  EXPECT_EQ((std::vector<std::string>{""}), dialog.detailTexts);
  EXPECT_TRUE(dialog.progressBarShown);
  EXPECT_EQ(0, dialog.rangeLow);
  EXPECT_EQ(100, dialog.rangeHigh);
  EXPECT_TRUE(dialog.positions.empty());
}

TEST_F(DownloadTest, FileposKeepsThePrefixAndEndsTheFileExactly) {
  const std::string data = Pattern(30000, 7);
  FaultServer server(FileReply("&filepos=40000&downloadlength=70000", data));
  const std::string path = dir.Path("update12.0000");
  const std::string old = Pattern(100000, 3);
  WriteFile(path, old);
  FieldMap fields;
  ASSERT_EQ(1, Download(server.Port(), fields, path));
  EXPECT_EQ(old.substr(0, 40000) + data, ReadFile(path));

  // Absent file: created, the bytes before filepos are zero.
  const std::string fresh = dir.Path("fresh.0000");
  ASSERT_EQ(1, Download(server.Port(), fields, fresh));
  EXPECT_EQ(std::string(40000, '\0') + data, ReadFile(fresh));
}

TEST_F(DownloadTest, ProgressTextAndBarFollowEveryTenthBlock) {
  const std::string data = Pattern(1234567);
  FaultServer server(FileReply("&downloadlength=1234567", data));
  FieldMap fields;
  const std::string path = dir.Path("big.0000");
  ASSERT_EQ(1, Download(server.Port(), fields, path));
  EXPECT_EQ(data, ReadFile(path));

  // Blocks are 10000 bytes; every tenth one updates the display, the last
  // (partial) block does not.
  WaitDialogRecord dialog = host.Last();
  ASSERT_EQ(13u, dialog.detailTexts.size());
  EXPECT_EQ("", dialog.detailTexts[0]);
  EXPECT_EQ("100 KB  of  1234 KB", dialog.detailTexts[1]);
  EXPECT_EQ("300 KB  of  1234 KB", dialog.detailTexts[3]);
  EXPECT_EQ("1200 KB  of  1234 KB", dialog.detailTexts[12]);
  EXPECT_EQ((std::vector<int>{8, 16, 24, 32, 40, 48, 56, 64, 72, 81, 89, 97}), dialog.positions);
}

TEST_F(DownloadTest, UnusableDownloadLengthCountsBytesButMovesNoBar) {
  for (const char* length : {"", "&downloadlength=0", "&downloadlength=-5", "&downloadlength=abc"}) {
    SCOPED_TRACE(length);
    const std::string data = Pattern(250000);
    FaultServer server(FileReply(length, data));
    FieldMap fields;
    const std::string path = dir.Path("nolength.0000");
    ASSERT_EQ(1, Download(server.Port(), fields, path));
    EXPECT_EQ(data, ReadFile(path));
    WaitDialogRecord dialog = host.Last();
    EXPECT_TRUE(dialog.positions.empty());
    ASSERT_GE(dialog.detailTexts.size(), 2u);
    EXPECT_TRUE(std::regex_match(dialog.detailTexts.back(), std::regex("[0-9]+ KB"))) << dialog.detailTexts.back();
  }
}

TEST_F(DownloadTest, ProgressOfAFileAboveTwoGigabytesDoesNotOverflow) {
  // Only the display is exercised: the stated length is larger than 2^31
  // (so the reply ends short of it, a cut download).
  const std::string data = Pattern(150000);
  FaultServer server(FileReply("&downloadlength=3000000000", data));
  FieldMap fields;
  ASSERT_EQ(0, Download(server.Port(), fields, dir.Path("huge.0000")));
  ASSERT_EQ(1u, prompts.Boxes().size());
  EXPECT_EQ("The download was cut short: 150000 of 3000000000 bytes arrived.", prompts.Boxes()[0].text);
  WaitDialogRecord dialog = host.Last();
  ASSERT_FALSE(dialog.positions.empty());
  EXPECT_EQ("100 KB  of  3000000 KB", dialog.detailTexts[1]);
  EXPECT_EQ(0, dialog.positions[0]);
}

struct FailedDownload {
  const char* name;
  std::function<void(const std::string& code, FaultConnection&)> serve;
  std::string shown;  // exact text of the only box
  MsgIcon icon;
  bool fileCreated;
};

// Cases print as their names.
void PrintTo(const FailedDownload& c, std::ostream* out) { *out << c.name; }

class FailedDownloadTest : public DownloadTest, public ::testing::WithParamInterface<FailedDownload> {};

TEST_P(FailedDownloadTest, WritesNothingOrLeavesThePartAndTellsWhy) {
  const FailedDownload& c = GetParam();
  std::mutex mutex;
  std::string firstCode;
  FaultServer server([&](const ReceivedRequest& request, FaultConnection& connection) {
    std::string code = RequestFields(request.body, kPrefix).Get("code");
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (firstCode.empty()) firstCode = code;
    }
    c.serve(code, connection);
  });
  const std::string path = dir.Path("update12.0000");
  FieldMap fields;
  EXPECT_EQ(0, Download(server.Port(), fields, path));
  auto boxes = prompts.Boxes();
  ASSERT_EQ(1u, boxes.size());
  std::string shown = c.shown;  // '*' stands for the code that was sent
  if (size_t star = shown.find('*'); star != std::string::npos) shown.replace(star, 1, firstCode);
  EXPECT_EQ(shown, boxes[0].text);
  EXPECT_EQ(c.icon, boxes[0].icon);
  EXPECT_EQ(c.fileCreated, fs::exists(path));

  // Silent: nothing at all is shown.
  EXPECT_EQ(0, Download(server.Port(), fields, dir.Path("silent.0000"), true));
  EXPECT_EQ(1u, prompts.Boxes().size());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FailedDownloadTest,
    ::testing::Values(
        FailedDownload{"PlainTextInsteadOfFile",
                       [](const std::string&, FaultConnection& c) {
                         c.Send(HttpReply(200, "\r\nNo update is available for this key."));
                       },
                       "\r\nNo update is available for this key.", MsgIcon::Exclamation, false},
        FailedDownload{"EmptyBody", [](const std::string&, FaultConnection& c) { c.Send(HttpReply(200, "")); },
                       "Logon Failed.  Error #565", MsgIcon::Exclamation, false},
        FailedDownload{"NotFound", [](const std::string&, FaultConnection& c) { c.Send(HttpReply(404, "gone")); },
                       "Logon Failed. Error code=404\r\n  Error #570", MsgIcon::Exclamation, false},
        FailedDownload{"HeaderShorterThanStated",
                       [](const std::string& code, FaultConnection& c) {
                         std::string body = FileReplyBody("GetUpgradeFilecode=" + code + "&filepos=0", "");
                         body[10] = static_cast<char>(200);  // states more than follows
                         c.Send(HttpReply(200, body));
                       },
                       "Logon Failed.  Error #565", MsgIcon::Exclamation, false},
        FailedDownload{"BytesCountWithoutLength",
                       [](const std::string&, FaultConnection& c) { c.Send(HttpReply(200, "BytesCount\x05")); },
                       "Logon Failed.  Error #565", MsgIcon::Exclamation, false},
        FailedDownload{"WrongCode",
                       [](const std::string& code, FaultConnection& c) {
                         c.Send(HttpReply(200, FileReplyBody("GetUpgradeFilecode=" + code + "1&status=ACCEPTED",
                                                             "data")));
                       },
                       "GetUpgradeFilecode=*1&status=ACCEPTED", MsgIcon::Exclamation, false},
        FailedDownload{"HeaderWithoutPrefix",
                       [](const std::string& code, FaultConnection& c) {
                         c.Send(HttpReply(200, FileReplyBody("code=" + code, "data")));
                       },
                       "code=*", MsgIcon::Exclamation, false},
        FailedDownload{"ResetMidData",
                       [](const std::string& code, FaultConnection& c) {
                         c.Send(HttpHead(200) + FileReplyBody("GetUpgradeFilecode=" + code, std::string(50000, 'd')));
                         std::this_thread::sleep_for(std::chrono::milliseconds(50));
                         c.Reset();
                       },
                       "The connection with the server was reset", MsgIcon::Stop, true},
        FailedDownload{"OverlongHeader",
                       [](const std::string&, FaultConnection& c) {
                         c.Send(HttpReply(200, std::string("BytesCount\xff\xff\xff\x7f", 14)));
                       },
                       "The server's reply is too large to be read.", MsgIcon::Stop, false}),
    [](const ::testing::TestParamInfo<FailedDownload>& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, AWrongCodeLeavesTheParsedFieldsAndAnExistingFileUntouched) {
  FaultServer server([&](const ReceivedRequest& request, FaultConnection& connection) {
    std::string header = "GetUpgradeFilecode=" + RequestFields(request.body, kPrefix).Get("code") + "1&status=ACCEPTED";
    connection.Send(HttpReply(200, FileReplyBody(header, "data")));
  });
  const std::string path = dir.Path("kept.0000");
  WriteFile(path, "previous download");
  FieldMap fields;
  EXPECT_EQ(0, Download(server.Port(), fields, path));
  EXPECT_EQ("ACCEPTED", fields.Get("status"));
  EXPECT_EQ("previous download", ReadFile(path));
}

TEST_F(DownloadTest, ALocalFileThatCannotBeOpenedOrWrittenIsNamedInTheMessage) {
  FaultServer server(FileReply("", Pattern(50000)));
  const std::string occupied = dir.Path("occupied");
  fs::create_directory(occupied);  // a directory in its place (root ignores modes)
  std::vector<std::pair<std::string, std::string>> cases = {{occupied, "Access to " + occupied + " was denied."}};
  // A device is never written, not even one that takes the bytes.
  if (fs::exists("/dev/full")) cases.emplace_back("/dev/full", "Access to /dev/full was denied.");
  for (const auto& [path, text] : cases) {
    FieldMap fields;
    EXPECT_EQ(0, Download(server.Port(), fields, path));
    ASSERT_FALSE(prompts.Boxes().empty());
    EXPECT_EQ(text, prompts.Boxes().back().text);
    EXPECT_EQ(MsgIcon::Stop, prompts.Boxes().back().icon);
  }
  EXPECT_EQ(cases.size(), prompts.Boxes().size());
}

TEST_F(DownloadTest, CalledDirectlyItRunsWithoutDisplayAndReportsTheInternetError) {
  const std::string data = Pattern(300000);
  FaultServer server(FileReply("&downloadlength=300000", data));
  uint32_t error = 1;
  int32_t written = 0;
  FieldMap fields;
  const std::string path = dir.Path("direct.0000");
  EXPECT_EQ(1, InternetCall_Function_GetFile(client, prompts, LocalCall(server.Port(), kPrefix), fields, &error,
                                             path, &written, nullptr));
  EXPECT_EQ(0u, error);
  EXPECT_EQ(300000, written);
  EXPECT_EQ(data, ReadFile(path));

  // Connection refused: a failure of the first phase, nothing written.
  fields = FieldMap();
  fields.Set("TableID", "3");
  EXPECT_EQ(0, InternetCall_Function_GetFile(client, prompts, LocalCall(FreePort(), kPrefix), fields, &error,
                                             dir.Path("r.0000"), &written, nullptr));
  EXPECT_EQ(12029u, error);
  EXPECT_EQ(0, written);
  EXPECT_TRUE(fields.Empty());
  ASSERT_EQ(1u, prompts.Boxes().size());
  EXPECT_EQ("A connection with the server could not be established", prompts.Boxes()[0].text);
  EXPECT_EQ(MsgIcon::Stop, prompts.Boxes()[0].icon);
}

// Data in small pieces until the client goes away or, when `forMs` is
// given, for that long; then nothing more until the client goes away.
FaultServer::Handler Trickle(int forMs) {
  return [forMs](const ReceivedRequest& request, FaultConnection& connection) {
    const std::string code = RequestFields(request.body, kPrefix).Get("code");
    if (!connection.Send(HttpHead(200) + FileReplyBody(kPrefix + "code=" + code + "&downloadlength=99999999", "")))
      return;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::milliseconds(forMs);
    std::string piece(10000, 'e');
    while ((forMs == 0 || std::chrono::steady_clock::now() < stop) && connection.Send(piece))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    connection.Hang();
  };
}

// Cancel and the time limit end the download the same way: the call returns
// 0 at once, the part written stays, nothing is written afterwards. The
// limit counts from the last data received: a download still receiving
// after thirty intervals goes on, and ends ten intervals after the data
// stopped, with one message on the caller's thread; Cancel says nothing.
TEST_F(DownloadTest, CancelAndTheTimeLimitAbandonADownloadThatDoesNotEnd) {
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "Cancel" : "time limit");
    FaultServer server(Trickle(cancel ? 0 : 900));
    RecordingPrompts boxes;
    HeadlessWaitHost waitHost;
    NetEnvironment limited{client, boxes, waitHost, cancel ? kWaitTimerIntervalMs : 30u};
    if (cancel) waitHost.CancelWhen([](const WaitDialogRecord& r) { return r.positions.size() >= 2; });
    const std::string path = dir.Path(cancel ? "cancelled.0000" : "late.0000");
    FieldMap fields;
    fields.Set("TableID", "12");
    EXPECT_EQ(0, DownloadToFile(limited, LocalCall(server.Port(), kPrefix), fields, path));
    const auto sizeAtReturn = fs::file_size(path);
    EXPECT_GE(sizeAtReturn, 200000u);
    EXPECT_TRUE(fields.Empty());
    EXPECT_TRUE(WaitForWaitWorkers(10s));
    EXPECT_EQ(sizeAtReturn, fs::file_size(path));
    EXPECT_EQ(cancel ? 1 : 0, waitHost.Last().cancelPresses);
    if (!cancel) {
      EXPECT_GT(waitHost.Last().timerTicks, 30);
    }
    EXPECT_EQ(0, waitHost.Last().callsAfterEnd);
    if (cancel) {
      EXPECT_TRUE(boxes.Boxes().empty());
    } else {
      ASSERT_EQ(1u, boxes.Boxes().size());
      EXPECT_EQ("No data has arrived from the update server for nearly ten minutes. The download was abandoned.",
                boxes.Boxes()[0].text);
      EXPECT_EQ(std::this_thread::get_id(), boxes.Boxes()[0].thread);
    }
  }
}

}  // namespace
}  // namespace quon::test
