// The session's download step on the shared archives, on both platforms:
// the real transport to a scripted server, the verifier against the
// vendor's certificate, the platform's own CAB library. Only the vendor's
// intact archive is unpacked; every other one is deleted with the verdict's
// sentence and nothing of it is unpacked.
#include <gtest/gtest.h>

#include "SignatureTestSupport.h"
#include "support/FaultServer.h"
#include "support/NetTestSupport.h"
#include "support/SessionFixture.h"

namespace quon::test {
namespace {

// The system's platform with the product's directory, the archive checked
// against `signer`.
struct CheckingPlatform : FakePlatform {
  std::unique_ptr<Platform> system = sigtest::SystemPlatform();
  SignerIdentity signer;
  bool LoadCabLibrary(const std::string& dir, DoDecabFn* fn, std::string& error) override {
    return system->LoadCabLibrary(dir, fn, error);
  }
  SignatureVerdict CheckUpdateArchive(const std::string& path) override { return VerifyArchiveSignature(path, signer); }
};

TEST(SignedDownload, OnlyTheVendorsIntactArchiveIsUnpacked) {
  std::string why;
  const std::string dir = sigtest::ArchiveDir(&why);
  ASSERT_FALSE(dir.empty()) << why;
  ClearProxyEnvironment();
  std::string flipped = sigtest::ReadBytes(dir + "/vendor.cab");
  flipped[flipped.size() / 3] ^= 0x20;

  using P = SignatureProblem;
  const struct {
    const char* what;
    std::string archive;
    P problem;
  } cases[] = {
      {"vendor", sigtest::ReadBytes(dir + "/vendor.cab"), P::None},
      {"unsigned", sigtest::ReadBytes(dir + "/unsigned.cab"), P::Unsigned},
      {"foreign", sigtest::ReadBytes(dir + "/foreign.cab"), P::ForeignSigner},
      {"truncated", sigtest::ReadBytes(dir + "/truncated.cab"), P::Damaged},
      {"a byte changed", flipped, P::Tampered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FaultServer server(EchoCodeFile(
        "GetUpgradeFile", "&status=ACCEPTED&updateversion=6.0.122.3&downloadlength=" + std::to_string(c.archive.size()),
        c.archive));
    TempDir product;
    WriteFile(product.Path(sigtest::kCabLibraryName), sigtest::ReadBytes(SIGTEST_CABLIB));
    FakeView view;
    RecordingPrompts prompts;
    CheckingPlatform platform;
    platform.modulePath = product.Dir() + "QuonUpdate";
    platform.signer = SignerIdentity{{sigtest::ReadBytes(dir + "/vendor-ca.der")}, {}};
    FakeWindows windows;
    std::unique_ptr<HttpClient> http = PlatformHttpClient(prompts);
    HeadlessWaitHost wait;
    NetEnvironment net{*http, prompts, wait};
    UpdateDlg dlg(
        view, prompts, net, platform, windows, [] { return WindowHandle{42}; },
        UpdateServerSettings{"127.0.0.1", server.Port(), "/update"});
    RunState(dlg).m_strProductDir = product.Dir();
    RunState(dlg).m_strUpdateVersion = "6.0.121.3";

    dlg.DownloadUpdate(12);
    const bool unpacked = fs::exists(fs::path(product.Path("update12.0000.dir/Update.List")));
    if (c.problem == P::None) {
      EXPECT_TRUE(prompts.Messages().empty()) << ::testing::PrintToString(prompts.Messages());
      EXPECT_TRUE(dlg.State().m_bInstallPage);
      EXPECT_TRUE(unpacked);
    } else {
      EXPECT_EQ(prompts.Messages(), std::vector<std::string>{SignatureProblemText(c.problem)});
      EXPECT_FALSE(dlg.State().m_bInstallPage);
      EXPECT_FALSE(fs::exists(fs::path(product.Path("update12.0000"))));
      EXPECT_FALSE(fs::exists(fs::path(product.Path("update12.0000.dir"))));
    }
  }
}

}  // namespace
}  // namespace quon::test
