// Archives written by other producers (gcab, Wine's cabarc) unpack to the
// very bytes they were made from.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Checks.h"
#include "TestSupport.h"

namespace cabtest {
namespace {

bool SameContents(const fs::path& a, const fs::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
    if (fa.gcount() == 0) return true;
  }
}

void ExpectSameTree(const fs::path& unpacked, const fs::path& originals) {
  ASSERT_EQ(Sandbox::Names(unpacked), Sandbox::Names(originals));
  for (const std::string& name : Sandbox::Names(originals)) {
    EXPECT_TRUE(SameContents(unpacked / name, originals / name)) << name << " differs";
  }
}

class CabProducers : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    dir_ = ProducerArchives(&why);
    if (dir_.empty()) FAIL() << why;
  }
  fs::path dir_;
};

TEST_F(CabProducers, GcabAndCabarcStoredAndMszip) {
  for (const char* name : {"gcab_stored.cab", "gcab_mszip.cab", "cabarc_none.cab", "cabarc_mszip.cab"}) {
    SCOPED_TRACE(name);
    Sandbox box;
    ASSERT_NE(box.Unpack(dir_ / name), 0);
    ExpectSameTree(box.out, dir_ / "inputs");
  }
}

TEST_F(CabProducers, FileOverHundredMebibytes) {
  Sandbox box;
  ASSERT_NE(box.Unpack(dir_ / "large_mszip.cab"), 0);
  EXPECT_GT(fs::file_size(box.out / "big.bin"), std::uintmax_t(100) << 20);
  ExpectSameTree(box.out, dir_ / "large");
}

TEST_F(CabProducers, TruncatedProducerArchiveLeavesNothing) {
  const std::string cab = ReadFile(dir_ / "gcab_mszip.cab");
  for (const std::size_t cut : {cab.size() / 2, cab.size() - 1}) {
    Sandbox box;
    EXPECT_EQ(box.Unpack(cab.substr(0, cut)), 0);
    ExpectNothingWritten(box);
  }
}

}  // namespace
}  // namespace cabtest
