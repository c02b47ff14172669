// Damaged and hostile PE files: the reader must give a plain answer without
// reading outside its buffers (run under the sanitizers by the fuzz build)
// and without reading more of a file than the few ranges it needs.
#include <gtest/gtest.h>

#include "PeTestImage.h"
#include "update/PeVersionResource.h"

using namespace petest;
using quon::PeVersionStatus;

namespace {

Bytes GoodPe() {
  return BuildPe({{16, 1, 0x0409,
                   Serialize(StandardVersion(u"040904b0", {Text(u"CompanyName", u"Sample"),
                                                           Text(u"ProductVersion", u"6, 0, 3, 121")}))}});
}

// A cut file either has the whole version block or no version information:
// never a part of the text.
void ExpectEveryTruncationSafe(const Bytes& full, const std::string& text) {
  for (std::size_t len = 0; len < full.size(); ++len) {
    Bytes cut(full.begin(), full.begin() + len);
    Read r = FromBuffer(cut);
    if (r.status == PeVersionStatus::FoundWithString) {
      ASSERT_EQ(r.text, text) << "cut at " << len;
    } else {
      ASSERT_EQ(r.status, PeVersionStatus::NoVersionInfo) << "cut at " << len;
      ASSERT_EQ(r.text, "");
    }
  }
}

TEST(PeHostile, TruncationAtEveryOffset) {
  ExpectEveryTruncationSafe(GoodPe(), "6, 0, 3, 121");
  ExpectEveryTruncationSafe(ReadFileBytes(std::string(QUON_PE_SAMPLES) + "/v603/QUON.EXE"),
                            "6, 0, 3, 121");
  EXPECT_EQ(FromBuffer(Bytes()).status, PeVersionStatus::NoVersionInfo);
  std::string text;
  EXPECT_EQ(quon::ReadPeProductVersionFromBuffer(nullptr, 100, text), PeVersionStatus::NoVersionInfo);
}

TEST(PeHostile, BadHeaderOffsets) {
  const Bytes good = GoodPe();
  const PeOffsets o = OffsetsOf(good);
  ASSERT_EQ(FromBuffer(good).text, "6, 0, 3, 121");
  auto expectNoInfo = [&](const char* what, auto&& damage) {
    Bytes b = good;
    damage(b);
    Read r = FromBuffer(b);
    EXPECT_EQ(r.status, PeVersionStatus::NoVersionInfo) << what;
  };
  expectNoInfo("no MZ", [](Bytes& b) { b[1] = 'X'; });
  expectNoInfo("PE header past the end", [&](Bytes& b) { PutU32(b, 0x3C, 0xFFFFFFF0u); });
  expectNoInfo("PE header at the last bytes", [&](Bytes& b) { PutU32(b, 0x3C, b.size() - 10); });
  expectNoInfo("no PE signature", [&](Bytes& b) { b[o.peHeader + 2] = 1; });
  expectNoInfo("unknown optional header", [&](Bytes& b) { PutU16(b, o.optionalHeader, 0x107); });
  expectNoInfo("optional header too small", [&](Bytes& b) { PutU16(b, o.peHeader + 20, 100); });
  expectNoInfo("optional header past the end", [&](Bytes& b) { PutU16(b, o.peHeader + 20, 0xFFFF); });
  expectNoInfo("two data directories", [&](Bytes& b) { PutU32(b, o.optionalHeader + 92, 2); });
  expectNoInfo("no resource directory", [&](Bytes& b) { PutU32(b, o.resourceDirEntry, 0); });
  expectNoInfo("resources outside every section",
               [&](Bytes& b) { PutU32(b, o.resourceDirEntry, 0x90000); });
  expectNoInfo("65535 sections, table past the end", [&](Bytes& b) { PutU16(b, o.peHeader + 6, 0xFFFF); });
  expectNoInfo("no sections", [&](Bytes& b) { PutU16(b, o.peHeader + 6, 0); });
  expectNoInfo("section data past the end", [&](Bytes& b) { PutU32(b, o.sectionTable + 20, 0xFFFFFF00u); });
  expectNoInfo("section at the top of the address space", [&](Bytes& b) {
    PutU32(b, o.sectionTable + 12, 0xFFFFFFF0u);
    PutU32(b, o.resourceDirEntry, 0xFFFFFFF8u);
  });
  // A section that claims more raw data than the file has is read as far as
  // the file goes.
  Bytes huge = good;
  PutU32(huge, o.sectionTable + 8, 0);
  PutU32(huge, o.sectionTable + 16, 0xFFFFFFFFu);
  EXPECT_EQ(FromBuffer(huge).text, "6, 0, 3, 121");
}

TEST(PeHostile, ResourceTreeLoopsAndBadEntries) {
  const Bytes good = GoodPe();
  const PeOffsets o = OffsetsOf(good);
  const std::uint32_t root = o.resourceRoot;
  // Layout of BuildPe with one resource: root table at 0 (one entry), type
  // table at 24, name table at 48, language entry at 48 + 16.
  const std::uint32_t typeEntry = root + 16, nameEntry = root + 24 + 16, langEntry = root + 48 + 16;
  auto statusOf = [&](auto&& damage) {
    Bytes b = good;
    damage(b);
    return FromBuffer(b).status;
  };
  // Directories pointing back at the root or at themselves.
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, typeEntry + 4, 0x80000000u); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, nameEntry + 4, 0x80000000u | 24); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, langEntry + 4, 0x80000000u); }), PeVersionStatus::NoVersionInfo);
  // A data entry where a directory belongs.
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, typeEntry + 4, 48); }), PeVersionStatus::NoVersionInfo);
  // Offsets beyond the resources, and entry counts far beyond the data.
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, nameEntry + 4, 0x80000000u | 0x7FFFFFF0u); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, langEntry + 4, 0x7FFFFFF0u); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU16(b, root + 14, 0xFFFF); PutU16(b, root + 12, 0xFFFF); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU16(b, root + 14, 0); }), PeVersionStatus::NoVersionInfo);
  // The data: empty, huge, or at an RVA outside the image.
  const std::uint32_t dataEntry = root + GetU32(good, langEntry + 4);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, dataEntry + 4, 0); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, dataEntry + 4, 0xFFFFFFFFu); }), PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(statusOf([&](Bytes& b) { PutU32(b, dataEntry, 0xFFFFFFF0u); }), PeVersionStatus::NoVersionInfo);
}

TEST(PeHostile, VersionBlockLengths) {
  auto readBlock = [](const Bytes& block) {
    return FromBuffer(BuildPe({{16, 1, 0x0409, block}}));
  };
  const Bytes good = Serialize(StandardVersion(
      u"040904b0", {Text(u"CompanyName", u"Sample"), Text(u"ProductVersion", u"6, 0, 3, 121")}));
  // Root lengths: too short to hold a header is no version information; a
  // length past the data is cut to the data.
  Bytes b = good;
  PutU16(b, 0, 4);
  EXPECT_EQ(readBlock(b).status, PeVersionStatus::NoVersionInfo);
  b = good;
  PutU16(b, 0, 0xFFFF);
  EXPECT_EQ(readBlock(b).text, "6, 0, 3, 121");
  EXPECT_EQ(readBlock(Bytes(good.begin(), good.begin() + 5)).status, PeVersionStatus::NoVersionInfo);
  // A root key without its NUL.
  b = Bytes(good.begin(), good.begin() + 6);
  for (int i = 0; i < 20; ++i) b.push_back('A'), b.push_back(0);
  PutU16(b, 0, static_cast<std::uint16_t>(b.size()));
  EXPECT_EQ(readBlock(b).status, PeVersionStatus::NoVersionInfo);

  // Inside the root, a child of length 0, a child running past its parent,
  // and a fixed value that claims more than the whole block.
  const std::size_t sfi = 92;  // StringFileInfo: after the key (36 + pad) and the 52-byte value
  ASSERT_EQ(good[sfi + 6], 'S');
  b = good;
  PutU16(b, sfi, 0);
  EXPECT_EQ(readBlock(b).status, PeVersionStatus::FoundWithoutString);
  b = good;
  PutU16(b, sfi, 0xFFF0);
  EXPECT_EQ(readBlock(b).text, "6, 0, 3, 121");
  b = good;
  PutU16(b, 2, 0xFFFF);
  EXPECT_EQ(readBlock(b).status, PeVersionStatus::FoundWithoutString);
  // Every length field in the block set to every awkward value: no crash,
  // no text other than the right one.
  for (std::size_t at = 0; at + 1 < good.size(); at += 2) {
    for (std::uint16_t v : {0, 1, 5, 6, 7, 0x7FFF, 0xFFFF}) {
      b = good;
      PutU16(b, at, v);
      Read r = readBlock(b);
      if (r.status == PeVersionStatus::FoundWithString && r.text != "6, 0, 3, 121" &&
          !r.text.empty()) {
        // Only damage inside the text itself may change the text.
        ASSERT_GE(at, good.size() - 26) << at << " gave " << r.text;
      }
    }
  }
}

// A source that claims to be a huge file full of a repeating pattern, and
// counts what is asked of it.
class CountingSource : public quon::PeByteSource {
 public:
  explicit CountingSource(Bytes head) : head_(std::move(head)) {}
  std::uint64_t Size() const override { return std::uint64_t{1} << 33; }
  bool Read(std::uint64_t off, std::size_t len, Bytes& out) override {
    if (off > Size() || len > Size() - off) return false;
    requested += len;
    out.resize(len);
    for (std::size_t i = 0; i < len; ++i) {
      std::uint64_t p = off + i;
      out[i] = p < head_.size() ? head_[p] : 0xFF;
    }
    return true;
  }
  std::uint64_t requested = 0;

 private:
  Bytes head_;
};

TEST(PeHostile, ReadsOnlyWhatItNeeds) {
  // Every count at its maximum and every table of 0xFF bytes: the reader
  // asks for the headers, one section table and a few directory tables.
  Bytes head = GoodPe();
  const PeOffsets o = OffsetsOf(head);
  PutU16(head, o.peHeader + 6, 0xFFFF);
  head.resize(o.sectionTable + 40);
  CountingSource src(head);
  std::string text;
  quon::ReadPeProductVersionFromSource(src, text);
  EXPECT_LT(src.requested, 4u * 1024 * 1024);
}

}  // namespace
