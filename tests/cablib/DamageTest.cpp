// Truncated and corrupted archives: the call fails and removes every file it
// had already unpacked (earlier folders unpack fine before the damage shows).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "CabWriter.h"
#include "Checks.h"
#include "TestSupport.h"

namespace cabtest {
namespace {

CabSpec ThreeFolders(bool checksums) {
  CabSpec plan;
  plan.checksums = checksums;
  plan.folders = {
      {Method::Stored, {File("Update.List", "[MAIN]\r\nA.DLL\r\n"), File("a.bin", Filler(9000, 21))}},
      {Method::Mszip, {File("b.bin", Filler(40000, 22)), File("empty", "")}},
      {Method::Lzx, {File("c.bin", Filler(35001, 23))}},
  };
  return plan;
}

TEST(CabDamage, TruncatedAnywhere) {
  CabLayout layout;
  const std::string cab = BuildCab(ThreeFolders(true), &layout);
  std::set<std::size_t> cuts;
  for (std::size_t i = 0; i < layout.dataBlocks.front() + 16; ++i) cuts.insert(i);  // every header byte
  for (std::size_t b : layout.dataBlocks) {
    for (std::size_t i = b; i < b + 12; ++i) cuts.insert(i);  // around each block header
  }
  for (std::size_t i = 0; i < cab.size(); i += 1009) cuts.insert(i);
  cuts.insert(cab.size() - 1);
  Sandbox box;
  for (const std::size_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(cab.size()));
    ASSERT_EQ(box.Unpack(cab.substr(0, cut)), 0);
    ASSERT_TRUE(fs::is_empty(box.out));
  }
  ExpectNothingWritten(box);
  EXPECT_NE(box.Unpack(cab), 0);  // the whole archive is fine
}

TEST(CabDamage, ChecksumMismatchInAnyBlock) {
  CabLayout layout;
  const std::string cab = BuildCab(ThreeFolders(true), &layout);
  for (std::size_t n = 0; n < layout.dataBlocks.size(); ++n) {
    SCOPED_TRACE("block " + std::to_string(n));
    const std::size_t block = layout.dataBlocks[n];
    std::string payload = cab, field = cab;
    payload[block + 8 + 5] ^= 0x40;  // a data byte
    field[block] ^= 0x01;            // the checksum itself
    Sandbox box;
    EXPECT_EQ(box.Unpack(payload), 0);
    ExpectNothingWritten(box);
    EXPECT_EQ(box.Unpack(field), 0);
    ExpectNothingWritten(box);
  }
}

// An entry that a later one of the same name replaces is still checked.
TEST(CabDamage, DamageInAReplacedEntryFailsTheArchive) {
  CabSpec plan = ThreeFolders(true);
  plan.folders[1].files = {File("old\\c.bin", Filler(40000, 22))};  // alone in its folder; c.bin replaces it
  CabLayout layout;
  std::string cab = BuildCab(plan, &layout);
  Sandbox box;
  ASSERT_NE(box.Unpack(cab), 0);
  EXPECT_EQ(box.Out("c.bin"), Filler(35001, 23));
  fs::remove_all(box.out);
  fs::create_directory(box.out);
  cab[layout.dataBlocks[1] + 8 + 5] ^= 0x40;
  EXPECT_EQ(box.Unpack(cab), 0);
  ExpectNothingWritten(box);
}

TEST(CabDamage, BrokenCompressedStreamsWithoutChecksums) {
  CabLayout layout;
  const std::string cab = BuildCab(ThreeFolders(false), &layout);
  // Blocks: 0 stored folder, 1-2 MSZIP folder, 3-4 LZX folder.
  ASSERT_EQ(layout.dataBlocks.size(), 5u);
  std::string badZipSignature = cab, badZipLength = cab, badLzxType = cab;
  badZipSignature[layout.dataBlocks[2] + 8] = 'X';     // "CK" → "XK"
  badZipLength[layout.dataBlocks[1] + 8 + 3] ^= 0x01;  // LEN no longer matches NLEN
  badLzxType[layout.dataBlocks[3] + 8 + 1] ^= 0x70;    // block type bits
  int n = 0;
  for (const std::string* bad : {&badZipSignature, &badZipLength, &badLzxType}) {
    SCOPED_TRACE("damage " + std::to_string(n++));
    Sandbox box;
    EXPECT_EQ(box.Unpack(*bad), 0);
    ExpectNothingWritten(box);
  }
}

}  // namespace
}  // namespace cabtest
