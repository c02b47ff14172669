// What the CAB library unpacks and what it refuses as a whole, on archives
// from the test writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "CabWriter.h"
#include "Checks.h"
#include "TestSupport.h"

namespace cabtest {
namespace {

CabSpec MixedArchive(bool checksums) {
  CabSpec plan;
  plan.checksums = checksums;
  plan.folders = {
      {Method::Stored, {File("Update.List", "[MAIN]\r\nQUON.EXE\r\n"), File("empty.dat", ""),
                        File("stored.bin", Filler(70000, 1))}},
      {Method::Mszip, {File("zip.bin", Filler(100000, 2)), File("zip.txt", Filler(5000, 3, true))}},
      {Method::LzxVerbatim, {File("huffman.bin", Filler(70000, 6)), File("huffman.txt", Filler(999, 7, true))}},
      {Method::Lzx, {File("lzx.bin", Filler(90001, 4)), File("lzx-empty", "")}},
      {Method::Stored, {File("only-empty", "")}},
  };
  return plan;
}

TEST(CabUnpack, SeveralFoldersOfEveryMethodWithAndWithoutChecksums) {
  for (const bool checksums : {true, false}) {
    SCOPED_TRACE(checksums ? "checksums" : "no checksums");
    Sandbox box;
    const CabSpec plan = MixedArchive(checksums);
    ASSERT_NE(box.Unpack(BuildCab(plan)), 0);
    ExpectUnpacked(box, plan);
    EXPECT_EQ(Sandbox::Names(box.root), (std::vector<std::string>{"out", "test.cab"}));
  }
}

TEST(CabUnpack, ManySmallFilesInTwoFolders) {
  CabSpec plan;
  plan.folders = {{Method::Mszip, {}}, {Method::Stored, {}}};
  for (int i = 0; i < 600; ++i) {
    plan.folders[i % 2].files.push_back(File("f" + std::to_string(i) + ".dat", Filler(i % 97, i)));
  }
  Sandbox box;
  ASSERT_NE(box.Unpack(BuildCab(plan)), 0);
  ExpectUnpacked(box, plan);
}

TEST(CabUnpack, NamesInUtf8AndTheirOwnCase) {
  const CabSpec plan = OneFolder({File("Gr\xC3\xBC\xC3\x9F" "e.txt", "umlaut", 0xA0), File("MiXeD.Case", "case"),
                                  File(".hidden", "dot"), File("a..b", "dots inside")});
  Sandbox box;
  ASSERT_NE(box.Unpack(BuildCab(plan)), 0);
  ExpectUnpacked(box, plan);
}

// Stored names paired with the UTF-8 name their file is unpacked under; all
// of one table go into one archive, which must leave nothing outside out.
struct NameCase {
  std::string stored;
  std::uint16_t attribs;
  std::string unpacked;
};

void ExpectUnpackedUnder(const std::vector<NameCase>& cases) {
  std::vector<FileSpec> files;
  std::map<std::string, std::string> expected;
  for (const NameCase& c : cases) {
    files.push_back(File(c.stored, "data of " + c.stored, c.attribs));
    expected[c.unpacked] = files.back().data;
  }
  Sandbox box;
  ASSERT_NE(box.Unpack(BuildCab(OneFolder(files, Method::Mszip))), 0);
  std::map<std::string, std::string> got;
  for (const std::string& name : Sandbox::Names(box.out)) got[name] = box.Out(name);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Sandbox::Names(box.root), (std::vector<std::string>{"out", "test.cab"}));
}

TEST(CabUnpack, FoldersOfStoredNamesAreDropped) {
  ExpectUnpackedUnder({
      {"lib\\x.dll", 0x20, "x.dll"},
      {"a/b/c.txt", 0x20, "c.txt"},
      {"../../up.txt", 0x20, "up.txt"},
      {"sub\\..\\back.txt", 0x20, "back.txt"},
      {"/abs", 0x20, "abs"},
      {"C:\\drive.txt", 0x20, "drive.txt"},
      {"\\\\server\\share\\unc.txt", 0x20, "unc.txt"},
      {"CON\\under-device.txt", 0x20, "under-device.txt"},
      {"d\xE9j\xE0/vu.txt", 0x20, "vu.txt"},
      {"\x81\x9D\\c1.txt", 0x20, "c1.txt"},
      {"\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0/utf8.txt", 0xA0, "utf8.txt"},
  });
}

// Names not marked UTF-8 are Windows-1252 text; marked ones stay UTF-8.
TEST(CabUnpack, EightBitNamesAreReadAsWindows1252) {
  ExpectUnpackedUnder({
      {"Gr\xFC\xDF" "e.txt", 0x20, "Gr\xC3\xBC\xC3\x9F" "e.txt"},
      {"\x80uro\x99\x8A.txt", 0x20, "\xE2\x82\xAC" "uro" "\xE2\x84\xA2" "\xC5\xA0.txt"},
      {"caf\xE9\\men\xFC\xA0\xFF", 0x20, "men\xC3\xBC\xC2\xA0\xC3\xBF"},
      {"\xC3\xA9t\xC3\xA9.txt", 0xA0, "\xC3\xA9t\xC3\xA9.txt"},
  });
}

TEST(CabUnpack, ReplacesExistingFilesAndLeavesOthersAlone) {
  Sandbox box;
  WriteFile(box.out / "Update.List", "old list that is longer than the new one");
  fs::permissions(box.out / "Update.List", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  WriteFile(box.out / "keep.txt", "unrelated");
  CabSpec plan = OneFolder({File("Update.List", "new"), File("b.bin", Filler(40000, 9))}, Method::Mszip);
  ASSERT_NE(box.Unpack(BuildCab(plan)), 0);
  EXPECT_EQ(box.Out("Update.List"), "new");
  EXPECT_EQ(box.Out("b.bin"), Filler(40000, 9));
  EXPECT_EQ(box.Out("keep.txt"), "unrelated");
  EXPECT_EQ(Sandbox::Names(box.out), (std::vector<std::string>{"Update.List", "b.bin", "keep.txt"}));
}

TEST(CabUnpack, DirectoryUnderATargetNameRefusesTheArchive) {
  Sandbox box;
  fs::create_directory(box.out / "b.txt");
  CabSpec plan = OneFolder({File("a.txt", "a"), File("b.txt", "b")});
  EXPECT_EQ(box.Unpack(BuildCab(plan)), 0);
  EXPECT_EQ(Sandbox::Names(box.out), std::vector<std::string>{"b.txt"});
  EXPECT_TRUE(fs::is_directory(box.out / "b.txt"));
  EXPECT_TRUE(fs::is_empty(box.out / "b.txt"));
}

TEST(CabUnpack, TargetDirectoryWithTrailingSeparator) {
  CabSpec plan = OneFolder({File("a.txt", "a")});
  for (const std::string& sep : DirSeparators()) {
    Sandbox box;
    const fs::path archive = box.WriteArchive(BuildCab(plan));
    const std::string dir = box.out.string() + sep;
    EXPECT_NE(CallDecab(archive.string().c_str(), dir.c_str()), 0) << dir;
    EXPECT_EQ(box.Out("a.txt"), "a");
  }
}

TEST(CabUnpack, MissingOrUnusableArguments) {
  Sandbox box;
  CabSpec plan = OneFolder({File("a.txt", "a")});
  const fs::path archive = box.WriteArchive(BuildCab(plan));
  const std::string a = archive.string(), d = box.out.string();
  EXPECT_EQ(CallDecab(nullptr, d.c_str()), 0);
  EXPECT_EQ(CallDecab(a.c_str(), nullptr), 0);
  EXPECT_EQ(CallDecab(nullptr, nullptr), 0);
  EXPECT_EQ(CallDecab("", d.c_str()), 0);
  EXPECT_EQ(CallDecab(a.c_str(), ""), 0);
  EXPECT_EQ(CallDecab((box.root / "missing.cab").string().c_str(), d.c_str()), 0);
  EXPECT_EQ(CallDecab(a.c_str(), (box.root / "missing").string().c_str()), 0);
  EXPECT_EQ(CallDecab(a.c_str(), a.c_str()), 0);                 // target is a file
  EXPECT_EQ(CallDecab(box.root.string().c_str(), d.c_str()), 0);  // archive is a directory
  ExpectNothingWritten(box);
  const fs::path text = box.WriteArchive("this is not a cabinet", "text.cab");
  EXPECT_EQ(CallDecab(text.string().c_str(), d.c_str()), 0);
  EXPECT_TRUE(fs::is_empty(box.out));
}

// Every file name (the last part of a stored name) that is not one plain,
// portable file name refuses the whole archive, the harmless file beside it
// included.
TEST(CabRefusal, UnsafeNames) {
  const std::vector<std::pair<std::string, std::uint16_t>> names = {
      {"..", 0x20},            {".", 0x20},            {"sub/", 0x20},       {"sub\\..", 0x20},
      {"a/b/.", 0x20},         {"C:evil", 0x20},       {"dir\\file:stream", 0x20},
      {"", 0x20},              {"tab\there", 0x20},    {"line\nfeed", 0x20},  {"del\x7f", 0x20},
      {"bell\x07", 0x20},      {"a*b", 0x20},          {"a?b", 0x20},        {"a|b", 0x20},
      {"a<b", 0x20},           {"a>b", 0x20},          {"a\"b", 0x20},       {"trailing.", 0x20},
      {"trailing ", 0x20},     {"CON", 0x20},          {"lib/nul.txt", 0x20}, {"Com1.log", 0x20},
      {"lpt9", 0x20},          {"aux .x", 0x20},       {std::string(256, 'n'), 0x20},
      {"\xFF\xFE.txt", 0x80},  // not UTF-8 although marked so
      {"c1\xC2\x85" "ctl", 0x80},
      {"undefined\x81", 0x20},            // Windows-1252 leaves it undefined: a C1 control
      {std::string(128, '\xE9'), 0x20},   // 128 bytes, but 256 in UTF-8
  };
  for (const auto& [name, attribs] : names) {
    SCOPED_TRACE(testing::PrintToString(name));
    CabSpec plan = OneFolder({File("good.txt", "fine"), File(name, "evil", attribs)});
    Sandbox box;
    EXPECT_EQ(box.Unpack(BuildCab(plan)), 0);
    ExpectNothingWritten(box);
  }
}

// Entries unpacked under names equal when case is ignored are one file: the
// last of them wins, under its own spelling, wherever its folder lies.
TEST(CabUnpack, LaterEntryOfTheSameNameWins) {
  struct Case {
    std::vector<FileSpec> first, second;  // the entries of an MSZIP folder and of a stored one
    std::string name, data;               // the file that must result beside keep.txt
  };
  const std::vector<Case> cases = {
      {{File("a/same.txt", "one"), File("keep.txt", "k")}, {File("b\\same.txt", "two")}, "same.txt", "two"},
      {{File("Update.List", "one"), File("UPDATE.LIST", "two")}, {File("keep.txt", "k")}, "UPDATE.LIST", "two"},
      {{File("v1/x.dll", "one")}, {File("keep.txt", "k"), File("v2/X.DLL", "two"), File("x.Dll", "three")},
       "x.Dll", "three"},
      {{File("\xC3\x84rger.txt", "one", 0xA0), File("keep.txt", "k")}, {File("\xE4rger.txt", "two")},
       "\xC3\xA4rger.txt", "two"},
      {{File("\xD0\xB6.dat", "one", 0xA0), File("big\\\xD0\x96.dat", Filler(70000, 8), 0xA0)},
       {File("keep.txt", "k")}, "\xD0\x96.dat", Filler(70000, 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CabSpec plan;
    plan.folders = {{Method::Mszip, c.first}, {Method::Stored, c.second}};
    Sandbox box;
    ASSERT_NE(box.Unpack(BuildCab(plan)), 0);
    std::vector<std::string> names{c.name, "keep.txt"};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Sandbox::Names(box.out), names);
    EXPECT_TRUE(box.Out(c.name) == c.data);
    EXPECT_EQ(box.Out("keep.txt"), "k");
    EXPECT_EQ(Sandbox::Names(box.root), (std::vector<std::string>{"out", "test.cab"}));
  }
}

TEST(CabRefusal, ImpossibleOrOversizedListings) {
  FileSpec big1 = File("big1", "x"), big2 = File("big2", "y"), huge = File("huge", "abc"),
           late = File("late", "abc"), lost = File("lost", "abc");
  big1.declaredSize = big2.declaredSize = 0xC0000000u;
  huge.declaredSize = 0xFFFFFFF0u;
  late.declaredOffset = 5000000;
  lost.folderIndex = 7;
  std::vector<std::pair<std::string, CabSpec>> cases = {
      {"total above 4 GiB, data tiny", OneFolder({File("a.txt", "a"), big1, big2})},
      {"file beyond its folder", OneFolder({File("a.txt", "a"), huge})},
      {"offset beyond folder", OneFolder({File("a.txt", "a"), late}, Method::Mszip)},
      {"missing folder", OneFolder({File("a.txt", "a"), lost})},
      {"no files at all", CabSpec{}},
  };
  for (const std::uint16_t flags : {1, 2, 3}) {  // member of a cabinet set
    cases.emplace_back("cabinet set flags " + std::to_string(flags), OneFolder({File("a.txt", "a")}));
    cases.back().second.flags = flags;
  }
  for (const auto& [what, plan] : cases) {
    SCOPED_TRACE(what);
    Sandbox box;
    EXPECT_EQ(box.Unpack(BuildCab(plan)), 0);
    ExpectNothingWritten(box);
  }
}

}  // namespace
}  // namespace cabtest
