// Runs against a scripted server: what the session sends, replies the
// reference server never gives (refused status, missing version, broken or
// endless file replies), and what a start finds left by earlier runs.
#include <chrono>
#include <functional>
#include <thread>

#include "E2eSupport.h"
#include "support/FaultFileSystem.h"
#include "support/FaultServer.h"
#include "support/NetTestSupport.h"

namespace quon::e2e {
namespace {

const char kListTable[] = "&rows=1&cols=4&dbdata=12%3B38412%3BPatch%20A%3BFirst%20fix";

// Answers GetUpgradeList with `listTail` and GetUpgradeFile with a file
// reply whose header carries `fileTail`, both after the echoed code; or
// GetUpgradeFile with whatever `fileReply` sends, given the code.
struct ScriptedServer {
  using FileReply = std::function<void(test::FaultConnection&, const std::string& code)>;
  std::string listTail = std::string("&status=ACCEPTED") + kListTable;
  std::string fileTail = "&status=ACCEPTED&updateversion=6.0.122.3&filepos=0&downloadlength=5";
  std::string fileData = "bytes";
  FileReply fileReply;
  test::FaultServer server{[this](const test::ReceivedRequest& request, test::FaultConnection& connection) {
    if (request.body.rfind("GetUpgradeList", 0) == 0) {
      const std::string code = test::RequestFields(request.body, "GetUpgradeList").Get("code");
      connection.Send(test::HttpReply(200, "GetUpgradeListcode=" + code + listTail));
    } else {
      const std::string code = test::RequestFields(request.body, "GetUpgradeFile").Get("code");
      if (fileReply) return fileReply(connection, code);
      connection.Send(test::HttpReply(200, test::FileReplyBody("GetUpgradeFilecode=" + code + fileTail, fileData)));
    }
  }};
};

// A file reply whose data never ends.
void EndlessFile(test::FaultConnection& connection, const std::string& code) {
  const std::string header =
      "GetUpgradeFilecode=" + code + "&status=ACCEPTED&updateversion=6.0.122.3&downloadlength=99999999";
  if (!connection.Send(test::HttpHead(200) + test::FileReplyBody(header, ""))) return;
  const std::string piece(10000, 'e');
  while (connection.Send(piece)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// A file reply whose header announces more than arrives.
void ShortHeader(test::FaultConnection& connection, const std::string&) {
  connection.Send(test::HttpHead(200) + std::string("BytesCount\x00\x01\x00\x00GetUpgradeFilecode=", 26));
}

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

// Whatever arrived of a download that failed or was refused is deleted;
// the list page stays for another click.
TEST(ScriptedDownload, FailedOrRefusedDownloadLeavesNoArchiveAndKeepsTheListPage) {
  const struct {
    const char* what;
    const char* fileTail;
    ScriptedServer::FileReply reply;
    const char* box;  // null: the transfer's own message, or none
  } cases[] = {
      {"refused", "&status=DENIED&updateversion=6.0.122.3", nullptr, "Operation Failed."},
      {"no version", "&status=ACCEPTED", nullptr, "Error: Invalid server response."},
      {"short header", "", ShortHeader, nullptr},
      {"never ends, cancelled", "", EndlessFile, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer script;
    script.fileTail = c.fileTail;
    script.fileReply = c.reply;
    Session s;
    s.InstallExe(QUON_E2E_EXE_603121);
    s.InstallCabLibrary();
    s.wait.CancelWhen([](const WaitDialogRecord& r) { return r.positions.size() >= 2; });
    s.Start(script.server.Port());
    const size_t pages = s.view.navigations.size();
    ASSERT_TRUE(s.Click("#update12"));
    script.server.Stop();
    EXPECT_TRUE(WaitForWaitWorkers(std::chrono::seconds(10)));
    if (c.box) {
      EXPECT_EQ(s.Boxes(), std::vector<std::string>{c.box});
    }
    EXPECT_EQ(s.view.navigations.size(), pages);
    EXPECT_FALSE(s.dlg->State().m_bInstallPage);
    EXPECT_TRUE(s.dlg->State().m_strDownloadFile.empty());
    EXPECT_FALSE(s.ProductHas("update12.0000"));
    EXPECT_FALSE(s.ProductHas("update12.0000.dir"));
  }
}

// An archive the check refuses goes before anything of it is unpacked, with
// one box naming the reason; the list page stays for another click. The
// check sees the whole download under its final name.
TEST_F(Scripted, RefusedArchiveIsDeletedNothingUnpackedAndTheReasonShown) {
  std::string checked;
  s.platform->checkArchive = [&](const std::string& path) {
    checked = test::ReadFile(path);
    return MakeSignatureVerdict(SignatureProblem::Tampered);
  };
  s.Start(script.server.Port());
  const size_t pages = s.view.navigations.size();
  ASSERT_TRUE(s.Click("#update12"));
  EXPECT_EQ(checked, script.fileData);
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{SignatureProblemText(SignatureProblem::Tampered)});
  EXPECT_EQ(s.view.navigations.size(), pages);
  EXPECT_FALSE(s.dlg->State().m_bInstallPage);
  EXPECT_TRUE(s.dlg->State().m_strDownloadFile.empty());
  EXPECT_FALSE(s.ProductHas("update12.0000"));
  EXPECT_FALSE(s.ProductHas("update12.0000.dir"));
}

// The unpack directory cannot be made, or the CAB library fails to write:
// a full or failing disk is told as such, with the path, anything else as
// an archive to download again.
TEST(ScriptedDownload, AnUnpackingThatCannotWriteTellsWhy) {
  const struct {
    const char* call;
    FsError error;
    const char* box;  // %s: the unpack directory
  } cases[] = {
      {"MakeDir", FsError::DiskFull, "Disk full while accessing %s."},
      {"MakeDir", FsError::Refused, "Error: The downloaded file is corrupted. Please download the file again."},
      {"decab", FsError::DiskFull, "Disk full while accessing %s."},
      {"decab", FsError::IoError, "A hardware I/O error was reported while accessing %s."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(static_cast<int>(c.error)));
    ScriptedServer script;
    Session s;
    s.InstallExe(QUON_E2E_EXE_603121);
    test::FaultyFileSystem files;
    files.inject = [&c](const std::string& call, const std::string&) {
      return call == c.call ? c.error : FsError::None;
    };
    s.platform->files = &files;
    if (std::string(c.call) == "decab") s.platform->decabFailure = c.error;
    s.Start(script.server.Port());
    ASSERT_FALSE(s.Ended()) << ::testing::PrintToString(s.Boxes());
    s.dlg->DownloadUpdate(12);
    std::string box = c.box;
    if (box.find("%s") != std::string::npos) box.replace(box.find("%s"), 2, s.Product("update12.0000.dir"));
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{box});
    EXPECT_FALSE(s.dlg->State().m_bInstallPage);
  }
}

TEST(StartUp, LeftoversOfEarlierRunsGoOnlyWhileNoOtherCopyRuns) {
  ScriptedServer script;
  Session s;
  s.InstallExe(QUON_E2E_EXE_603121);
  test::TempDir outside;
  outside.Write("kept.dll", "outside");
  for (const char* path : {"update7.0000", "update7.0000.dir/.decab-1f-2e-3.tmp", "Help/Quon.chm.quonupd"}) {
    s.WriteProduct(path, "left");
  }
  fs::create_symlink(outside.Path("kept.dll"), s.Product("update8.0000"));
  fs::create_directory_symlink(outside.Dir(), s.Product("update9.0000.dir"));

  // Another copy holds the product directory: nothing is touched.
  std::unique_ptr<Platform> other = MakePosixPlatform();
  bool otherAlone = false;
  auto otherLock = other->HoldProductDirectory(s.ProductDir(), [&] { otherAlone = true; });
  ASSERT_TRUE(otherLock);
  EXPECT_TRUE(otherAlone);
  s.Start(script.server.Port());
  ASSERT_FALSE(s.Ended()) << ::testing::PrintToString(s.Boxes());
  for (const char* path : {"update7.0000", "update7.0000.dir", "Help/Quon.chm.quonupd"}) {
    EXPECT_TRUE(s.ProductHas(path)) << path;
  }

  // Alone, the next start removes them, and leaves links and what they
  // point at alone.
  otherLock.reset();
  s.dlg.reset();
  s.Start(script.server.Port());
  for (const char* path : {"update7.0000", "update7.0000.dir", "Help/Quon.chm.quonupd"}) {
    EXPECT_FALSE(s.ProductHas(path)) << path;
  }
  EXPECT_TRUE(s.ProductHas("update8.0000"));
  EXPECT_TRUE(s.ProductHas("update9.0000.dir"));
  EXPECT_EQ(outside.Read("kept.dll"), "outside");
  // The running session now holds the directory in turn.
  bool alone = false;
  EXPECT_TRUE(other->HoldProductDirectory(s.ProductDir(), [&] { alone = true; }));
  EXPECT_FALSE(alone);
}

}  // namespace
}  // namespace quon::e2e
