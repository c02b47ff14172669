// The verdicts on signed, unsigned, foreign-signed and damaged archives. The
// same archives and the same expectations run on Linux (OpenSSL) and under
// Wine (the system's trust verification and CryptoAPI), so both platforms
// must reach the same verdict on each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "SignatureTestSupport.h"
#include "update/ArchiveSignature.h"

namespace sigtest {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace sigtest

namespace {

using quon::SignatureProblem;
using quon::SignatureVerdict;

class ArchiveSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    m_dir = sigtest::ArchiveDir(&why);
    ASSERT_FALSE(m_dir.empty()) << why;
  }
  std::string Path(const std::string& name) const { return m_dir + "/" + name; }
  // The certificates in `derFiles` trusted, those in `revokedFiles`
  // refused (both separated by ';').
  quon::SignerIdentity Signer(const std::string& derFiles, const std::string& revokedFiles = "") const {
    quon::SignerIdentity signer;
    for (const std::string& f : Split(derFiles)) signer.certificatesDer.push_back(sigtest::ReadBytes(Path(f)));
    for (const std::string& f : Split(revokedFiles))
      signer.revoked.push_back(quon::FingerprintOf(sigtest::ReadBytes(Path(f))));
    return signer;
  }
  static std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < list.size();) {
      const size_t end = std::min(list.find(';', at), list.size());
      parts.push_back(list.substr(at, end - at));
      at = end + 1;
    }
    return parts;
  }
  // Writes `bytes` to a scratch archive beside the others (removed at the
  // end of the test) and verifies it against the vendor's certificate.
  SignatureVerdict VerifyBytes(const std::string& bytes) {
    const std::string scratch = Path(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".cab";
    m_scratch.push_back(scratch);
    sigtest::WriteBytes(scratch, bytes);
    return quon::VerifyArchiveSignature(scratch, Signer("vendor-ca.der"));
  }
  void TearDown() override {
    for (const auto& f : m_scratch) std::remove(f.c_str());
  }

  std::string m_dir;
  std::vector<std::string> m_scratch;
};

// `named` is what the sentence names, where it names something.
void ExpectVerdict(const SignatureVerdict& v, SignatureProblem expected, const std::string& what,
                   const std::string& named = std::string()) {
  EXPECT_EQ(v.problem, expected) << what << ": " << v.reason;
  EXPECT_EQ(v.ok, expected == SignatureProblem::None) << what;
  EXPECT_EQ(v.reason, quon::MakeSignatureVerdict(expected, named).reason) << what;
}

TEST_F(ArchiveSignatureTest, VerdictForEachArchiveAndSigner) {
  struct Case {
    const char* archive;
    const char* signer;  // the configured certificates
    SignatureProblem expected;
    const char* named = "";
    const char* revoked = "";  // the certificates whose fingerprints are refused
  } const cases[] = {
      {"vendor.cab", "vendor-ca.der", SignatureProblem::None},               // the vendor's certificate itself
      {"issued.cab", "vendor-ca.der", SignatureProblem::None},               // a certificate it issued
      {"ossl.cab", "vendor-ca.der", SignatureProblem::None},                 // signed by osslsigncode
      {"issued.cab", "vendor-signer.der", SignatureProblem::None},           // the signer configured itself
      {"vendor.cab", "vendor-signer.der", SignatureProblem::ForeignSigner},  // the issuer is not vouched for
      {"issued.cab", "foreign-ca.der", SignatureProblem::ForeignSigner},
      {"foreign.cab", "vendor-ca.der", SignatureProblem::ForeignSigner},       // same names, other keys
      {"foreign-root.cab", "vendor-ca.der", SignatureProblem::ForeignSigner},  // a look-alike root
      {"unsigned.cab", "vendor-ca.der", SignatureProblem::Unsigned},
      {"ossl-sha1.cab", "vendor-ca.der", SignatureProblem::WeakDigest, "SHA-1"},
      {"truncated.cab", "vendor-ca.der", SignatureProblem::Damaged},
      {"missing.cab", "vendor-ca.der", SignatureProblem::Unreadable},
      {"vendor-ca.pem", "vendor-ca.der", SignatureProblem::NotAnArchive},
      {"vendor.cab", "no-such-certificate.der", SignatureProblem::NoTrustedSigner},
      // The profiles of certificates that the vendor's certificate issued
      // (item 4 of issue 21; SHA-1 above is item 3).
      {"issued-sha1.cab", "vendor-ca.der", SignatureProblem::WeakCertificateDigest, "SHA-1"},
      {"issued-md5.cab", "vendor-ca.der", SignatureProblem::WeakCertificateDigest, "MD5"},
      {"issued-tls.cab", "vendor-ca.der", SignatureProblem::NotACodeSigner,
       "its key usage does not allow digital signatures"},
      {"issued-tls-signing.cab", "vendor-ca.der", SignatureProblem::NotACodeSigner,
       "its extended key usage does not name code signing"},
      {"issued-ca.cab", "vendor-ca.der", SignatureProblem::NotACodeSigner, "it is a certificate authority"},
      {"issued-usage.cab", "vendor-ca.der", SignatureProblem::None},
      {"issued-purpose.cab", "vendor-ca.der", SignatureProblem::None},
      {"issued-plain.cab", "vendor-ca.der", SignatureProblem::None},
      // Several roots while the vendor moves to a new one, in either order;
      // a look-alike root's names match the first and must not stop the
      // search.
      {"issued-b.cab", "vendor-ca.der", SignatureProblem::ForeignSigner},
      {"issued-b.cab", "vendor-ca.der;vendor-ca-b.der", SignatureProblem::None},
      {"issued.cab", "vendor-ca-b.der;vendor-ca.der", SignatureProblem::None},
      {"vendor.cab", "vendor-ca-b.der;vendor-ca.der", SignatureProblem::None},
      {"foreign.cab", "vendor-ca.der;foreign-ca.der", SignatureProblem::None},
      {"issued.cab", "vendor-ca-b.der", SignatureProblem::ForeignSigner},
      {"issued-tls.cab", "vendor-ca-b.der;vendor-ca.der", SignatureProblem::NotACodeSigner,
       "its key usage does not allow digital signatures"},
      // Revoked signers, and revoked roots with everything under them.
      {"issued.cab", "vendor-ca.der", SignatureProblem::Revoked, "", "vendor-signer.der"},
      {"ossl.cab", "vendor-ca.der;vendor-ca-b.der", SignatureProblem::Revoked, "", "vendor-signer.der"},
      {"vendor.cab", "vendor-ca.der", SignatureProblem::None, "", "vendor-signer.der"},
      {"vendor.cab", "vendor-ca.der", SignatureProblem::Revoked, "", "vendor-ca.der"},
      {"issued.cab", "vendor-ca.der;vendor-ca-b.der", SignatureProblem::Revoked, "", "vendor-ca.der"},
      {"issued-b.cab", "vendor-ca.der;vendor-ca-b.der", SignatureProblem::None, "", "vendor-ca.der"},
      {"issued-b.cab", "vendor-ca.der;vendor-ca-b.der", SignatureProblem::Revoked, "", "vendor-ca-b.der"},
  };
  for (const Case& c : cases) {
    ExpectVerdict(quon::VerifyArchiveSignature(Path(c.archive), Signer(c.signer, c.revoked)), c.expected,
                  std::string(c.archive) + " against " + c.signer + " revoking " + c.revoked, c.named);
  }
}

TEST(Fingerprint, WrittenFormsAreNormalized) {
  const std::string hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  EXPECT_EQ(quon::NormalizeFingerprint(hex), hex);
  EXPECT_EQ(quon::NormalizeFingerprint(" 01:23:45:67:89:AB:CD:EF:01:23:45:67:89:ab:cd:ef:"
                                       "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF\t"),
            hex);
  for (const std::string& bad :
       {std::string(), hex.substr(1), hex + "0", "g" + hex.substr(1), hex.substr(0, 32) + " " + hex.substr(32)})
    EXPECT_EQ(quon::NormalizeFingerprint(bad), "") << bad;
}

// One changed bit anywhere: in every byte of the header and its reserved
// area, then through the folder and file tables, the data and the
// signature block, and the last byte of the file.
TEST_F(ArchiveSignatureTest, EveryChangedBitIsRefused) {
  const std::string good = sigtest::ReadBytes(Path("issued.cab"));
  ASSERT_GT(good.size(), 4096u);
  std::vector<size_t> positions;
  for (size_t i = 0; i < 160; ++i) positions.push_back(i);
  for (size_t i = 160; i < good.size(); i += good.size() / 150) positions.push_back(i);
  const size_t signatureStart = static_cast<unsigned char>(good[44]) | static_cast<unsigned char>(good[45]) << 8 |
                                static_cast<unsigned char>(good[46]) << 16;
  for (size_t i = signatureStart; i < good.size(); i += 37) positions.push_back(i);
  positions.push_back(good.size() - 1);
  for (size_t at : positions) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    const SignatureVerdict v = VerifyBytes(bad);
    EXPECT_FALSE(v.ok) << "changed byte " << at << " of " << good.size() << " was accepted";
  }
}

TEST_F(ArchiveSignatureTest, BytesAddedOrCutAreRefused) {
  const std::string good = sigtest::ReadBytes(Path("issued.cab"));
  ExpectVerdict(VerifyBytes(good + std::string(8, '\0')), SignatureProblem::Damaged, "eight zero bytes appended");
  ExpectVerdict(VerifyBytes(good + "x"), SignatureProblem::Damaged, "one byte appended");
  ExpectVerdict(VerifyBytes(good.substr(0, good.size() - 1)), SignatureProblem::Damaged, "last byte cut");
  ExpectVerdict(VerifyBytes(good.substr(0, 50)), SignatureProblem::NotAnArchive, "header cut");
  // The cabinet's size no longer says where the signature starts: a change
  // (item 3 of issue 21).
  std::string resized = good;
  resized[8] = static_cast<char>(resized[8] + 1);
  ExpectVerdict(VerifyBytes(resized), SignatureProblem::Tampered, "cabinet size changed");
  ExpectVerdict(VerifyBytes(""), SignatureProblem::NotAnArchive, "empty file");
}

}  // namespace
