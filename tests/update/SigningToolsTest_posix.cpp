// Cross-checks with an independent tool: archives that quon-pack signs pass
// osslsigncode's verification (and fail it once changed), quon-pack refuses
// a key that does not fit, and a signed archive still unpacks through the
// CAB library.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "SignatureTestSupport.h"
#include "support/TempDir.h"
#include "cablib.h"

namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

int RunQuiet(const std::string& command) {
  const int status = std::system((command + " > /dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SigningToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    m_dir = sigtest::ArchiveDir(&why);
    ASSERT_FALSE(m_dir.empty()) << why;
    m_scratch = m_scratchDir.Root().string();
  }
  std::string Path(const std::string& name) const { return m_dir + "/" + name; }
  int OsslVerify(const std::string& archive) const {
    return RunQuiet("osslsigncode verify -CAfile " + Quote(Path("vendor-ca.pem")) + " -in " + Quote(archive));
  }

  quon::test::TempDir m_scratchDir;
  std::string m_dir, m_scratch;
};

TEST_F(SigningToolsTest, OsslsigncodeAcceptsOurSignaturesAndRefusesChangedOnes) {
  EXPECT_EQ(OsslVerify(Path("vendor.cab")), 0);
  EXPECT_EQ(OsslVerify(Path("issued.cab")), 0);
  EXPECT_NE(OsslVerify(Path("foreign.cab")), 0);
  EXPECT_NE(OsslVerify(Path("unsigned.cab")), 0);

  const std::string good = sigtest::ReadBytes(Path("issued.cab"));
  const size_t signatureStart = static_cast<unsigned char>(good[44]) | static_cast<unsigned char>(good[45]) << 8 |
                                static_cast<unsigned char>(good[46]) << 16;
  // The header's folder count, the first folder entry, file data, and a
  // byte inside the signature's certificate.
  for (size_t at : {size_t{26}, size_t{60}, signatureStart / 2, signatureStart + 400}) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    const std::string path = m_scratch + "/changed.cab";
    sigtest::WriteBytes(path, bad);
    EXPECT_NE(OsslVerify(path), 0) << "osslsigncode accepted a change at byte " << at;
  }
}

TEST_F(SigningToolsTest, QuonPackRefusesAKeyThatDoesNotFitAndLeavesNoFile) {
  const std::string out = m_scratch + "/out.cab";
  const std::string input = m_scratch + "/a.txt";
  sigtest::WriteBytes(input, "text");
  const std::string pack = std::string(SIGTEST_QUON_PACK) + " -o " + Quote(out) + " -C " + Quote(m_scratch) +
                           " --name Test ";
  const std::string versions = " --applies-to 6.0.121.3 --brings 6.0.122.3";
  const std::string signer =
      "--sign-cert " + Quote(Path("vendor-signer.pem")) + " --sign-key " + Quote(Path("vendor-signer-key.pem"));
  const std::pair<std::string, int> cases[] = {
      {"--sign-cert " + Quote(Path("vendor-ca.pem")) + " --sign-key " + Quote(Path("vendor-signer-key.pem")) + versions,
       1},
      {"--sign-cert " + Quote(Path("vendor-ca.pem")) + versions, 2},
      {"--sign-cert " + Quote(input) + " --sign-key " + Quote(Path("vendor-signer-key.pem")) + versions, 1},
      // A signed archive binds its versions; they must be versions.
      {signer, 2},
      {signer + " --applies-to 6.0.121.3", 2},
      {signer + " --applies-to 6.0.121 --brings 6.0.122.3", 2},
      {signer + " --applies-to 6.0.121.3 --brings 6.0.*.3", 2},
      {"--applies-to 6.0.121.3 --brings 6.0.122.3", 2},
  };
  for (const auto& [args, code] : cases) EXPECT_EQ(RunQuiet(pack + args + " a.txt"), code) << args;
  EXPECT_EQ(std::distance(fs::directory_iterator(m_scratch), fs::directory_iterator()), 1);
}

TEST_F(SigningToolsTest, SignedArchiveUnpacksThroughTheCabLibrary) {
  for (const char* archive : {"issued.cab", "ossl.cab"}) {
    const std::string dir = m_scratch + "/" + archive + ".dir";
    fs::create_directory(dir);
    ASSERT_EQ(do_decab(Path(archive).c_str(), dir.c_str()), 1) << archive;
    EXPECT_EQ(sigtest::ReadBytes(dir + "/readme.txt"), "QUON 6.0 service release\r\n") << archive;
    EXPECT_EQ(fs::file_size(dir + "/solver.dll"), 300000u) << archive;
    EXPECT_TRUE(fs::exists(dir + "/Update.List")) << archive;
  }
  // quon-pack's signed archive carries its release file, which its
  // Update.List does not name; osslsigncode's has none.
  const std::string release = sigtest::ReadBytes(m_scratch + "/issued.cab.dir/Update.Release");
  EXPECT_NE(release.find("applies-to = 6.0.121.3\r\nbrings = 6.0.122.3\r\n"), std::string::npos) << release;
  EXPECT_EQ(sigtest::ReadBytes(m_scratch + "/issued.cab.dir/Update.List").find("Update.Release"), std::string::npos);
  EXPECT_FALSE(fs::exists(m_scratch + "/ossl.cab.dir/Update.Release"));
}

}  // namespace
