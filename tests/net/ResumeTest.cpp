// The client's side of the resume negotiation against a scripted server:
// which cuts are tried again and how (with `resumefrom` and `sha256` only
// for a server that announced `resume`), what the file holds at the end,
// the pauses, the digest check, and Cancel during a pause.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <vector>

#include "net/ArchiveDigest.h"
#include "net/ServerCalls.h"
#include "net/ServerExchange.h"
#include "support/HeadlessWaitHost.h"
#include "support/NetTestSupport.h"
#include "support/ResumingServer.h"

namespace quon::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kPrefix = "GetUpgradeFile";
constexpr size_t kSize = 250000;
constexpr size_t npos = std::string::npos;

std::string Sha256Of(const std::string& data) {
  ArchiveDigest digest;
  digest.Update(data.data(), data.size());
  return digest.HexDigest();
}

struct ResumeCase {
  const char* name;
  std::function<void(ResumeScript&)> script;
  int result;
  int requests;
  bool resumeFieldsSent;  // on the second request
  std::string shown;      // the only box, or none
  bool fileIsArchive;     // else: no file, or not the archive (the caller discards a failed one)
};

void PrintTo(const ResumeCase& c, std::ostream* out) { *out << c.name; }

auto CutFirstAt(size_t bytes) {
  return [bytes](int index) { return index == 0 ? bytes : npos; };
}

const char kMismatch[] =
    "The downloaded file does not match the checksum the server gave for it. It was deleted; please download the "
    "update again.";
const char kDoesNotFit[] =
    "The server's reply does not fit the part of the file already downloaded. The download was stopped.";

class ResumeTest : public ::testing::TestWithParam<ResumeCase> {
 protected:
  void SetUp() override { ClearProxyEnvironment(); }
  RecordingPrompts prompts;
  std::unique_ptr<HttpClient> client = PlatformHttpClient(prompts);
  TempDir dir;
};

TEST_P(ResumeTest, CutDownloadsAreAskedForAgainAsTheServerAllows) {
  const ResumeCase& c = GetParam();
  auto script = std::make_shared<ResumeScript>();
  script->archive = Pattern(kSize, 5);
  script->sha256 = Sha256Of(script->archive);
  c.script(*script);
  FaultServer server(ResumingServer(script));

  std::vector<std::chrono::milliseconds> pauses;
  DownloadOptions options;
  options.retry.jitter = [] { return 1.5; };
  options.retry.pause = [&pauses](std::chrono::milliseconds delay, const CancelFlag*) {
    pauses.push_back(delay);
    return true;
  };
  FieldMap fields;
  FillIdentity(fields, "7.0.0.0");
  fields.Set("TableID", "12");
  const std::string path = dir.Path("update12.0000");
  int32_t written = 0;
  EXPECT_EQ(c.result, InternetCall_Function_GetFile(*client, prompts, LocalCall(server.Port(), kPrefix), fields,
                                                    nullptr, path, &written, nullptr, nullptr, &options));

  const std::vector<ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(static_cast<size_t>(c.requests), requests.size());
  // Every attempt sends the first one's fields; a retry adds the two new
  // ones only for a server that announced `resume`.
  FieldMap first = RequestFields(requests[0].body, kPrefix);
  EXPECT_FALSE(first.Find("resumefrom") || first.Find("sha256"));
  for (size_t i = 1; i < requests.size(); ++i) {
    FieldMap again = RequestFields(requests[i].body, kPrefix);
    EXPECT_EQ(c.resumeFieldsSent, again.Find("resumefrom") != nullptr) << i;
    if (c.resumeFieldsSent) {
      EXPECT_EQ(script->sha256, again.Get("sha256"));
    }
    for (const char* name : {"KeyID", "KeyType", "KeyVersion", "updateversion", "DB", "TableID", "VI"})
      EXPECT_EQ(first.Get(name), again.Get(name)) << name;
    EXPECT_EQ(requests[0].requestLine, requests[i].requestLine);
  }
  // Pauses of 1, 2, 4, 8 and 16 s, stretched by the factor.
  for (size_t i = 0; i < pauses.size(); ++i) EXPECT_EQ(std::chrono::milliseconds(1500 << i), pauses[i]);
  EXPECT_EQ(requests.size() - 1, pauses.size());

  const auto boxes = prompts.Boxes();
  if (c.shown.empty()) {
    EXPECT_TRUE(boxes.empty()) << boxes[0].text;
  } else {
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(c.shown, boxes[0].text);
  }
  EXPECT_EQ(c.fileIsArchive, fs::exists(path) && ReadFile(path) == script->archive);
  if (c.result == 1) {
    EXPECT_EQ(static_cast<int32_t>(kSize), written);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Negotiation, ResumeTest,
    ::testing::Values(
        ResumeCase{"NeverCut", [](ResumeScript&) {}, 1, 1, false, "", true},
        ResumeCase{"CutAt60PercentResumes", [](ResumeScript& s) { s.cutAt = CutFirstAt(kSize * 6 / 10); }, 1, 2, true,
                   "", true},
        ResumeCase{"ResetResumes",
                   [](ResumeScript& s) {
                     s.cutAt = CutFirstAt(100000);
                     s.resetCut = true;
                   },
                   1, 2, true, "", true},
        ResumeCase{"ServerSendsTheWholeArchiveAgain",
                   [](ResumeScript& s) {
                     s.cutAt = CutFirstAt(120000);
                     s.honour = false;
                   },
                   1, 2, true, "", true},
        ResumeCase{"OldServerIsAskedFromTheStartWithoutNewFields",
                   [](ResumeScript& s) {
                     s.cutAt = CutFirstAt(120000);
                     s.announce = false;
                   },
                   1, 2, false, "", true},
        ResumeCase{"DigestMismatchDeletesTheArchive", [](ResumeScript& s) { s.sha256 = std::string(64, 'a'); }, 0, 1,
                   false, kMismatch, false},
        ResumeCase{"DigestMismatchAfterAResume",
                   [](ResumeScript& s) {
                     s.sha256 = std::string(64, 'a');
                     s.cutAt = CutFirstAt(50000);
                   },
                   0, 2, true, kMismatch, false},
        ResumeCase{"CutBeforeAnyDataIsNotRetried", [](ResumeScript& s) { s.refuse = [](int) { return "No."; }; }, 0, 1,
                   false, "No.", false},
        ResumeCase{"RefusalOfARetryEndsIt",
                   [](ResumeScript& s) {
                     s.cutAt = CutFirstAt(50000);
                     s.refuse = [](int i) { return i == 1 ? "Not now." : ""; };
                   },
                   0, 2, true, "Not now.", false},
        ResumeCase{"FiveRetriesThenTheLastCutIsShown", [](ResumeScript& s) { s.cutAt = [](int) { return 1000; }; }, 0,
                   6, true, "The download was cut short: 6000 of 250000 bytes arrived.", false},
        ResumeCase{"FileposBeyondWhatIsHeldIsRefused",
                   [](ResumeScript& s) {
                     s.cutAt = CutFirstAt(50000);
                     s.fileposShift = 10;
                   },
                   0, 2, true, kDoesNotFit, false},
        ResumeCase{"ResumedReplyWithoutTheDigestIsRefused",
                   [](ResumeScript& s) {
                     s.cutAt = CutFirstAt(50000);
                     s.resumedWithoutDigest = true;
                   },
                   0, 2, true, kDoesNotFit, false},
        ResumeCase{"DataBeyondTheLengthIsRefused",
                   [](ResumeScript& s) {
                     s.announce = false;
                     s.extraData = 20000;
                   },
                   0, 1, false, "The server sent more data than the file's length. The download was stopped.", true}),
    [](const ::testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

// The hook of the caller sees the reply's fields before anything is
// written; a refusal ends the download quietly, and is not retried.
TEST_F(ResumeTest, ACallerRefusesTheReplyBeforeAnyDataIsWritten) {
  auto script = std::make_shared<ResumeScript>();
  script->archive = Pattern(kSize, 5);
  script->sha256 = Sha256Of(script->archive);
  FaultServer server(ResumingServer(script));
  DownloadOptions options;
  std::string seen;
  options.acceptReply = [&seen](const FieldMap& reply) {
    seen = reply.Get("updateversion");
    return false;
  };
  FieldMap fields;
  fields.Set("TableID", "12");
  const std::string path = dir.Path("held.0000");
  EXPECT_EQ(0, InternetCall_Function_GetFile(*client, prompts, LocalCall(server.Port(), kPrefix), fields, nullptr, path,
                                             nullptr, nullptr, nullptr, &options));
  EXPECT_EQ("7.1.0.0", seen);
  EXPECT_EQ("7.1.0.0", fields.Get("updateversion"));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(prompts.Boxes().empty());
  EXPECT_EQ(1, script->requests.load());
}

// Cancel during the pause before a retry ends the download at once, under
// the progress dialog, with the real (long) pause: no further request.
TEST_F(ResumeTest, CancelDuringAPauseEndsEveryAttempt) {
  auto script = std::make_shared<ResumeScript>();
  script->archive = Pattern(kSize, 5);
  script->sha256 = Sha256Of(script->archive);
  script->cutAt = CutFirstAt(150000);
  FaultServer server(ResumingServer(script));
  HeadlessWaitHost host;
  NetEnvironment env{*client, prompts, host};
  env.downloadRetry.firstDelay = 600s;
  host.CancelWhen([](const WaitDialogRecord& r) { return r.statusText == "The connection was lost. Trying again..."; });
  FieldMap fields;
  fields.Set("TableID", "12");
  EXPECT_EQ(0, DownloadToFile(env, LocalCall(server.Port(), kPrefix), fields, dir.Path("c.0000")));
  EXPECT_TRUE(WaitForWaitWorkers(10s));
  EXPECT_EQ(1, script->requests.load());
  EXPECT_TRUE(prompts.Boxes().empty());
  EXPECT_EQ(1, host.Last().cancelPresses);
}

}  // namespace
}  // namespace quon::test
