// The road with a client built to require the vendor's signature and to
// speak HTTPS (trusting the test authority that issued the server's
// certificate): a signed archive installs; an unsigned one, one with a byte
// changed, one signed by another certificate and one whose signature is cut
// short are each refused with the verifier's sentence, deleted, and nothing
// of them is unpacked or installed.
#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>

#include "ServerRoot.h"
#include "update/ArchiveSignature.h"

namespace quon::e2e {
namespace {

const std::string kPki = QUON_E2E_PKI;

struct TrustedRoad : ::testing::Test {
  ServerRoot root;

  static void SetUpTestSuite() { ASSERT_TRUE(kUpdateRequireSignature && std::string(kUpdateScheme) == "https"); }
  // Each case starts as an installation that has accepted nothing yet.
  void SetUp() override { std::remove(kStateFile); }

  // Archive `name` packed from the staged files, signed by `who` unless
  // empty, for the installed versions `appliesTo`, bringing `brings`.
  // `revokes`: a certificate whose fingerprint the release file revokes.
  std::string Pack(const std::string& name, const std::string& who, const std::string& appliesTo = "6.0.121.3",
                   const std::string& brings = "6.0.122.3", const std::string& revokes = "") {
    std::vector<std::string> args;
    if (!who.empty()) {
      args = {"--sign-cert",  kPki + "/" + who + ".pem",
              "--sign-key",   kPki + "/" + who + "-key.pem",
              "--applies-to", appliesTo,
              "--brings",     brings};
    }
    if (!revokes.empty()) {
      const std::string der = kPki + "/" + revokes + ".der";
      EXPECT_EQ(
          std::system(("openssl x509 -in '" + kPki + "/" + revokes + ".pem' -outform DER -out '" + der + "'").c_str()),
          0);
      args.push_back("--revokes");
      args.push_back(FingerprintOf(test::ReadFile(der)));
    }
    for (const char* a : {"--name", "Service Pack 1", "QSolver.dll"}) args.push_back(a);
    root.Pack(name, args);
    return test::ReadFile(root.Dir() + name);
  }
};

TEST_F(TrustedRoad, OnlyAnIntactArchiveSignedByTheVendorIsUnpacked) {
  root.Stage("QSolver.dll", "solver 122");
  const std::string good = Pack("vendor.cab", "vendor");
  Pack("unsigned.cab", "");
  Pack("foreign.cab", "foreign");
  const auto flipped = [&](size_t at) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
  };
  // The cabinet's own size (the header's cbCabinet); the signature follows.
  size_t cabinet = 0;
  for (int i = 3; i >= 0; --i) cabinet = cabinet << 8 | static_cast<unsigned char>(good[8 + i]);
  ASSERT_LT(cabinet, good.size());
  root.Put("flip-header.cab", flipped(5));
  root.Put("flip-data.cab", flipped(cabinet - 3));
  root.Put("flip-signature.cab", flipped((cabinet + good.size()) / 2));
  root.Put("flip-last.cab", flipped(good.size() - 1));
  root.Put("truncated.cab", good.substr(0, good.size() - 100));

  using P = SignatureProblem;
  const struct {
    const char* archive;
    std::vector<P> refusal;  // the sentences allowed; none: it installs
  } cases[] = {
      {"vendor.cab", {}},
      {"unsigned.cab", {P::Unsigned}},
      {"foreign.cab", {P::ForeignSigner}},
      {"truncated.cab", {P::Damaged}},
      {"flip-header.cab", {P::Tampered, P::Damaged}},
      {"flip-data.cab", {P::Tampered}},
      {"flip-signature.cab", {P::Tampered, P::Damaged, P::ForeignSigner}},
      {"flip-last.cab", {P::Tampered, P::Damaged}},
  };
  uint32_t id = 100;
  for (const auto& c : cases) root.Offer(++id, c.archive, c.archive, "6.0.121.3", "6.0.122.3");
  root.StartServer({"--tls-cert", kPki + "/server.pem", "--tls-key", kPki + "/server-key.pem"});

  id = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive);
    const std::string link = "#update" + std::to_string(++id);
    const std::string archive = "update" + std::to_string(id) + ".0000";
    Session s;
    s.InstallExe(QUON_E2E_EXE_6030);
    s.WriteProduct("Quon.Version", std::string("\x06\x00\x00\x00\x79\x00\x03\x00", 8));
    s.InstallCabLibrary();
    s.WriteProduct("QSolver.dll", "solver 121");
    s.Start(root.Port());
    ASSERT_FALSE(s.Ended()) << ::testing::PrintToString(s.Boxes());
    const size_t pages = s.view.navigations.size();
    ASSERT_TRUE(s.Click(link));
    if (c.refusal.empty()) {
      EXPECT_TRUE(s.Boxes().empty()) << ::testing::PrintToString(s.Boxes());
      ASSERT_TRUE(s.Click("#install"));
      EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 122");
      continue;
    }
    ASSERT_EQ(s.Boxes().size(), 1u);
    std::vector<std::string> allowed;
    for (P p : c.refusal) allowed.push_back(SignatureProblemText(p));
    EXPECT_THAT(allowed, ::testing::Contains(s.Boxes()[0]));
    EXPECT_EQ(s.view.navigations.size(), pages);
    EXPECT_FALSE(s.dlg->State().m_bInstallPage);
    EXPECT_FALSE(s.ProductHas(archive));
    EXPECT_FALSE(s.ProductHas(archive + ".dir"));
    EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver 121");
  }
}

// Item 5 of issue 21: the version comes from the signed archive, not from
// the unsigned reply. An older genuine archive served as the newest, or a
// reply naming a version the archive does not bring, is refused (the
// product stays as it was and nothing is left); a fitting one records the
// signed version; an archive without the release file (signed by another
// tool) is accepted with the reply's version, as before.
TEST_F(TrustedRoad, TheSignedReleaseFileDecidesWhereAnUpdateGoesAndWhatVersionItBrings) {
  root.Stage("QSolver.dll", "solver new");
  Pack("fits.cab", "vendor", "6.0.120.*, 6.0.121.3", "6.0.122.3");
  Pack("older.cab", "vendor", "6.0.100.1", "6.0.101.1");
  Pack("unsigned-for-ossl.cab", "");
  ASSERT_EQ(std::system(("osslsigncode sign -certs '" + kPki + "/vendor.pem' -key '" + kPki +
                         "/vendor-key.pem' -h sha256 -in '" + root.Dir() + "unsigned-for-ossl.cab' -out '" +
                         root.Dir() + "ossl.cab' > /dev/null")
                            .c_str()),
            0);
  const struct {
    const char* archive;
    const char* replied;  // the catalog's version, which the reply names
    std::string box;      // the refusal; empty: it installs
    std::string recorded;
  } cases[] = {
      // Signed by another tool, without a release file: the reply's version
      // stands, while this installation has accepted no release file.
      {"ossl.cab", "6.0.125.3", "", std::string("\x06\0\0\0\x7d\0\x03\0", 8)},
      {"fits.cab", "6.0.122.3", "", std::string("\x06\0\0\0\x7a\0\x03\0", 8)},
      {"fits.cab", "65535.65535.65535.65535",
       "The update archive brings version 6.0.122.3, not the version 65535.65535.65535.65535 that the server named.",
       ""},
      {"older.cab", "65535.65535.65535.65535", "The update archive does not apply to the installed version 6.0.121.3.",
       ""},
      // Once a release file has been accepted (fits.cab, above), an archive
      // without one is refused: no rollback, no freeze.
      {"ossl.cab", "6.0.125.3", "This installation accepts only update archives with a release file.", ""},
  };
  uint32_t id = 200;
  for (const auto& c : cases) root.Offer(++id, c.archive, c.archive, "6.0.121.3", c.replied);
  root.StartServer({"--tls-cert", kPki + "/server.pem", "--tls-key", kPki + "/server-key.pem"});

  id = 200;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " offered as " + c.replied);
    const std::string version("\x06\x00\x00\x00\x79\x00\x03\x00", 8);
    Session s;
    s.InstallExe(QUON_E2E_EXE_6030);
    s.WriteProduct("Quon.Version", version);
    s.InstallCabLibrary();
    s.WriteProduct("QSolver.dll", "solver old");
    s.Start(root.Port());
    ASSERT_FALSE(s.Ended()) << ::testing::PrintToString(s.Boxes());
    ASSERT_TRUE(s.Click("#update" + std::to_string(++id)));
    if (c.box.empty()) {
      EXPECT_TRUE(s.Boxes().empty()) << ::testing::PrintToString(s.Boxes());
      ASSERT_TRUE(s.Click("#install"));
      EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver new");
      EXPECT_EQ(s.ReadProduct("Quon.Version"), c.recorded);
      EXPECT_FALSE(s.ProductHas("Update.Release"));
      continue;
    }
    EXPECT_EQ(s.Boxes(), std::vector<std::string>{c.box});
    EXPECT_FALSE(s.dlg->State().m_bInstallPage);
    const std::string archive = "update" + std::to_string(id) + ".0000";
    EXPECT_FALSE(s.ProductHas(archive));
    EXPECT_FALSE(s.ProductHas(archive + ".dir"));
    EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver old");
    EXPECT_EQ(s.ReadProduct("Quon.Version"), version);
  }
}

// A release file's revocation is remembered in the state file, and the
// revoked signer's archives are refused from then on, by later runs too.
TEST_F(TrustedRoad, ARevokedSignerIsRefusedOnceAReleaseFileRevokedIt) {
  root.Stage("QSolver.dll", "solver new");
  Pack("signer.cab", "signer");
  Pack("revoking.cab", "vendor", "6.0.121.3", "6.0.122.3", "signer");
  const char* const order[] = {"signer.cab", "revoking.cab", "signer.cab", "signer.cab"};
  uint32_t id = 300;
  for (const char* archive : order) root.Offer(++id, archive, archive, "6.0.121.3", "6.0.122.3");
  root.StartServer({"--tls-cert", kPki + "/server.pem", "--tls-key", kPki + "/server-key.pem"});
  id = 300;
  for (const char* archive : order) {
    SCOPED_TRACE(std::to_string(id + 1) + " " + archive);
    Session s;
    s.InstallExe(QUON_E2E_EXE_6030);
    s.WriteProduct("Quon.Version", std::string("\x06\x00\x00\x00\x79\x00\x03\x00", 8));
    s.InstallCabLibrary();
    s.WriteProduct("QSolver.dll", "solver old");
    s.Start(root.Port());
    ASSERT_FALSE(s.Ended()) << ::testing::PrintToString(s.Boxes());
    ASSERT_TRUE(s.Click("#update" + std::to_string(++id)));
    if (id <= 302) {
      EXPECT_TRUE(s.Boxes().empty()) << ::testing::PrintToString(s.Boxes());
      ASSERT_TRUE(s.Click("#install"));
      EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver new");
    } else {
      EXPECT_EQ(s.Boxes(), std::vector<std::string>{SignatureProblemText(SignatureProblem::Revoked)});
      EXPECT_EQ(s.ReadProduct("QSolver.dll"), "solver old");
    }
  }
}

// A server whose certificate no trusted authority issued: the run ends at
// the list, saying why, not that the computer is offline.
TEST_F(TrustedRoad, AnUntrustedServerIsToldAsSuch) {
  test::TempDir otherPki;
  ASSERT_TRUE(test::MakeTestTlsCertificates(otherPki.Root().string()));
  root.StartServer({"--tls-cert", otherPki.Path("server.pem"), "--tls-key", otherPki.Path("server-key.pem")});
  Session s;
  s.InstallExe(QUON_E2E_EXE_603121);
  s.Start(root.Port());
  EXPECT_EQ(s.Boxes(), std::vector<std::string>{"Error: Can not connect securely to the Norvanta server.\r\n"
                                                "The certificate authority is invalid or incorrect."});
  EXPECT_EQ(s.view.endResults, std::vector<int>{2});
}

}  // namespace
}  // namespace quon::e2e
