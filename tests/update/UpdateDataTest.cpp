// The server's update table, the installation file, and the names of the
// files a download creates.
#include <gtest/gtest.h>

#include <set>

#include "support/Fakes.h"
#include "update/InstallationFile.h"
#include "update/ReleaseFile.h"
#include "update/RunFiles.h"
#include "update/UpdateTable.h"

namespace quon {
namespace {

namespace fs = std::filesystem;

FieldMap Reply(std::initializer_list<std::pair<const char*, const char*>> fields) {
  FieldMap map;
  for (const auto& [name, value] : fields) map.Set(name, value);
  return map;
}

TEST(UpdateTable, RowsBecomeEntriesInServerOrder) {
  UpdateEntryList list;
  FieldMap reply =
      Reply({{"rows", "2"}, {"cols", "4"}, {"dbdata", "12;38412;Patch A;First fix;15;38500.25;Patch B;Second fix"}});
  ASSERT_EQ(ReadUpdateTable(reply, list), 2u);
  EXPECT_EQ(list[0]->m_nTableID, 12u);
  EXPECT_EQ(list[0]->m_strName, "Patch A");
  EXPECT_EQ(list[0]->m_strDescription, "First fix");
  EXPECT_DOUBLE_EQ(list[0]->m_dtPostDate.value, 38412.0);
  EXPECT_TRUE(list[0]->m_dtPostDate.valid);
  EXPECT_EQ(list[1]->m_nTableID, 15u);
  EXPECT_DOUBLE_EQ(list[1]->m_dtPostDate.value, 38500.25);

  // A trailing separator changes nothing.
  reply.Set("dbdata", "12;38412;Patch A;First fix;15;38500.25;Patch B;Second fix;");
  ASSERT_EQ(ReadUpdateTable(reply, list), 2u);
  EXPECT_EQ(list[1]->m_strDescription, "Second fix");
}

TEST(UpdateTable, ExtraColumnsAreSkippedAndCellsReadLeniently) {
  UpdateEntryList list;
  ASSERT_EQ(
      ReadUpdateTable(Reply({{"rows", "2"}, {"cols", "6"}, {"dbdata", "abc;xyz;;;x;y;3000000000;1;N;D;p;q"}}), list),
      2u);
  EXPECT_EQ(list[0]->m_nTableID, 0u);
  EXPECT_DOUBLE_EQ(list[0]->m_dtPostDate.value, 0.0);
  EXPECT_EQ(list[0]->m_strName, "");
  EXPECT_EQ(list[0]->m_strDescription, "");
  EXPECT_EQ(list[1]->m_nTableID, 3000000000u);
  EXPECT_EQ(list[1]->m_strName, "N");
}

TEST(UpdateTable, NoRowsMeansNoEntries) {
  UpdateEntryList list;
  list.push_back(std::make_unique<UpdateEntry>(1, OleDateTime{}, "old", "old"));
  EXPECT_EQ(ReadUpdateTable(Reply({{"cols", "4"}, {"dbdata", "1;2;3;4"}}), list), 0u);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "0"}, {"cols", "4"}, {"dbdata", "1;2;3;4"}}), list), 0u);
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "-2"}, {"cols", "4"}, {"dbdata", "1;2;3;4"}}), list), 0u);
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "junk"}, {"cols", "4"}, {"dbdata", "1;2;3;4"}}), list), 0u);
}

TEST(UpdateTable, ShortTablesAreCutAtTheirLastCell) {
  UpdateEntryList list;
  // The final row lost its empty description with the trailing ";".
  ASSERT_EQ(ReadUpdateTable(Reply({{"rows", "2"}, {"cols", "4"}, {"dbdata", "1;2;A;a;7;8;B;"}}), list), 2u);
  EXPECT_EQ(list[1]->m_nTableID, 7u);
  EXPECT_EQ(list[1]->m_strName, "B");
  EXPECT_EQ(list[1]->m_strDescription, "");
  // Rows that start beyond the cells are not made up.
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "2000000000"}, {"cols", "4"}, {"dbdata", "1;2;A;a"}}), list), 1u);
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "3"}, {"cols", "4"}}), list), 0u);
  // A narrow table makes rows share cells, within the cells that exist.
  ASSERT_EQ(ReadUpdateTable(Reply({{"rows", "2"}, {"cols", "2"}, {"dbdata", "1;2;3;4"}}), list), 2u);
  EXPECT_EQ(list[1]->m_nTableID, 3u);
  EXPECT_EQ(list[1]->m_strName, "");
  // cols 0 or negative never reaches outside the table.
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "5"}, {"cols", "0"}, {"dbdata", "9;2;X;x"}}), list), 4u);
  EXPECT_EQ(list[3]->m_nTableID, 9u);
  EXPECT_EQ(ReadUpdateTable(Reply({{"rows", "5"}, {"cols", "-4"}, {"dbdata", "9;2;X;x"}}), list), 1u);
}

TEST(UpdateTable, RowsAndRepeatedCellsAreBoundedByTheReply) {
  UpdateEntryList list;
  // Far more rows than the list holds, of empty cells: only the first
  // kMaxUpdateRows become entries.
  const size_t rows = kMaxUpdateRows + 1000;
  std::string table(rows * 4, ';');
  table.insert(0, "1");
  table.insert(4 * kMaxUpdateRows - 4 + 1, "2");  // the last row that is read
  ASSERT_EQ(ReadUpdateTable(Reply({{"rows", "4000000"}, {"cols", "4"}, {"dbdata", table.c_str()}}), list),
            kMaxUpdateRows);
  EXPECT_EQ(list.front()->m_nTableID, 1u);
  EXPECT_EQ(list.back()->m_nTableID, 2u);
  // Rows that all read the same long name (cols 0) stop once they would
  // hold more text than the table.
  table = "1;2;" + std::string(100000, 'N') + ";d" + std::string(1000, ';');
  ReadUpdateTable(Reply({{"rows", "1000"}, {"cols", "0"}, {"dbdata", table.c_str()}}), list);
  size_t text = 0;
  for (const auto& entry : list) text += entry->m_strName.size() + entry->m_strDescription.size();
  EXPECT_GE(list.size(), 1u);
  EXPECT_LE(text, table.size() + kUpdateTableTextSlack);
}

TEST(InstallationFile, ReadsIdentityAndModules) {
  InstallationInfo info = ParseInstallationText(
      "# written by the installer\r\n"
      "KeyID = 4294967295\r\n"
      "keytype=NET\r\n"
      "KeyVersion= 6.0 SP1 \r\n"
      "Modules=3, 5,-2,3\r\n");
  EXPECT_EQ(info.identity.id, 4294967295u);
  EXPECT_EQ(info.identity.type, "NET");
  EXPECT_EQ(info.identity.version, "6.0 SP1");
  EXPECT_EQ(info.modules, (std::vector<int32_t>{3, 5, -2, 3}));
}

TEST(InstallationFile, MalformedLinesAreIgnored) {
  InstallationInfo info =
      ParseInstallationText("garbage line\nKeyID=12abc\nKeyID=4294967296\n=x\nModules=3,x,99999999999,,7\nKeyType\n");
  EXPECT_EQ(info.identity.id, 0u);
  EXPECT_EQ(info.identity.type, "");
  EXPECT_EQ(info.modules, (std::vector<int32_t>{3, 7}));
}

TEST(InstallationFile, MissingFileGivesTheEmptyIdentity) {
  InstallationInfo info = ReadInstallationFile("/nonexistent/dir/Quon.Installation");
  EXPECT_EQ(info.identity.id, 0u);
  EXPECT_EQ(info.identity.type + info.identity.version, "");
  EXPECT_TRUE(info.modules.empty());
}

TEST(DownloadNames, ArchiveTakesTheFirstFreeCounter) {
  std::set<std::string> taken;
  auto isTaken = [&taken](const std::string& p) { return taken.count(p) != 0; };
  EXPECT_EQ(ChooseArchivePath("/p/", 7, isTaken), "/p/update7.0000");
  taken = {"/p/update7.0000", "/p/update7.0001"};
  EXPECT_EQ(ChooseArchivePath("/p/", 7, isTaken), "/p/update7.0002");
  for (int i = 2; i <= 9; ++i) taken.insert("/p/update7.000" + std::to_string(i));
  EXPECT_EQ(ChooseArchivePath("/p/", 7, isTaken), "/p/update7.00010");
  EXPECT_EQ(ChooseArchivePath("/p/", -3, isTaken), "/p/update-3.0000");
}

TEST(DownloadNames, UnpackDirectoryTakesTheFirstFreeSuffix) {
  std::set<std::string> taken;
  auto isTaken = [&taken](const std::string& p) { return taken.count(p) != 0; };
  EXPECT_EQ(ChooseUnpackDirectory("/p/update7.0002", isTaken), "/p/update7.0002.dir");
  taken = {"/p/update7.0000.dir"};
  EXPECT_EQ(ChooseArchivePath("/p/", 7, isTaken), "/p/update7.0000");
  EXPECT_EQ(ChooseUnpackDirectory("/p/update7.0000", isTaken), "/p/update7.0000.dir1");
  taken.insert("/p/update7.0000.dir1");
  EXPECT_EQ(ChooseUnpackDirectory("/p/update7.0000", isTaken), "/p/update7.0000.dir2");
}

TEST(Leftovers, OnlyTheUpdatersOwnNamesInTheirPlacesAreRemoved) {
  test::TempDir product;
  const std::pair<const char*, bool> entries[] = {
      // Archives, unpack directories with the library's temporaries, the
      // page file at the top; install temporaries anywhere.
      {"update7.0000", true},
      {"update7.00010", true},
      {"update-3.0001", true},
      {"update7.0000.dir/a.dll", true},
      {"update7.0000.dir/.decab-1a2b-3c4d-5.tmp", true},
      {"update7.0001.dir12/Update.List", true},
      {"QuonUpdateLast.html", true},
      {"QSolver.dll.quonupd", true},
      {"Help/sub/Quon.chm.quonupd7", true},
      // Other names, or the same names elsewhere.
      {"update7.00001", false},
      {"update07.0000", false},
      {"update7.000", false},
      {"update7.0000x", false},
      {"updatex.0000", false},
      {"update7.0000.dirx/a.dll", false},
      {"update7.0000.dir01/a.dll", false},
      {"Help/update7.0000", false},
      {"Help/QuonUpdateLast.html", false},
      {"Help/update7.0000.dir/a.dll", false},
      {".quonupd", false},
      {"x.quonupd0", false},
      {"x.quonupd01", false},
      {"QUON.EXE", false},
      // A subdirectory keeps its unpack directory.
      {"update8.0000.dir/sub/b.dll", false},
  };
  for (const auto& [path, removed] : entries) product.Write(path, "x");
  fs::create_directories(product.Path("update9.0000"));  // a directory of an archive's name
  RemoveLeftoversOfEarlierRuns(SystemFileSystem(), product.Dir());
  for (const auto& [path, removed] : entries) EXPECT_EQ(product.Exists(path), !removed) << path;
  EXPECT_FALSE(product.Exists("update7.0000.dir"));
  EXPECT_TRUE(product.Exists("update8.0000.dir"));
  EXPECT_TRUE(product.Exists("update9.0000"));
}

TEST(Leftovers, TheScanStopsAfterItsEntries) {
  test::TempDir product;
  for (int i = 1; i <= 20; ++i) product.Write("update" + std::to_string(i) + ".0000", "x");
  EXPECT_EQ(RemoveLeftoversOfEarlierRuns(SystemFileSystem(), product.Dir(), 5), 5u);
  EXPECT_EQ(RemoveLeftoversOfEarlierRuns(SystemFileSystem(), product.Dir()), 15u);
}

TEST(VersionWords, OnlyFourDottedDecimalNumbersOf16BitsAreAVersion) {
  auto words = [](const char* text) {
    uint16_t w[4] = {1, 1, 1, 1};
    return ParseVersionWords(text, w) ? std::vector<uint16_t>(w, w + 4) : std::vector<uint16_t>{};
  };
  EXPECT_EQ(words("8.2.0.11"), (std::vector<uint16_t>{8, 2, 0, 11}));
  EXPECT_EQ(words(" 6 . 0 . 125 . 65535"), (std::vector<uint16_t>{6, 0, 125, 65535}));
  EXPECT_EQ(words("06.0.0125.3"), (std::vector<uint16_t>{6, 0, 125, 3}));
  for (const char* bad : {"8.2", "", "1.2.3.4.5", "x.x.x.x", "...", "6.0.125.65536", "6.x.3b.", "1.2.3.", ".1.2.3",
                          "1..2.3", "1.2.3.-4", "+1.2.3.4", "1.2.3.4\t", "6.0.125.99999999999999999999"}) {
    EXPECT_TRUE(words(bad).empty()) << bad;
  }
}

TEST(ReleaseFile, ItsVersionsDecideWhereTheArchiveGoesAndWhatItBrings) {
  const std::string fits = "# comment\r\nApplies-To = 6.0.120.*, 6.0.121.3\r\n  brings=6.0.122.3\r\nlater = x\r\n";
  const struct {
    std::optional<std::string> text;
    const char* replied;
    const char* reason;  // empty: accepted
    const char* recorded;
  } cases[] = {
      {std::nullopt, "9.9.9.9", "", "9.9.9.9"},  // no release file: the reply stands
      {fits, "6.0.122.3", "", "6.0.122.3"},
      {fits, " 6.0.122.3", "", "6.0.122.3"},
      {fits, "6.0.122.03", "", "6.0.122.3"},
      {fits, "65535.65535.65535.65535",
       "The update archive brings version 6.0.122.3, not the version 65535.65535.65535.65535 that the server named.",
       ""},
      {fits, "6.0.122", "The update archive brings version 6.0.122.3, not the version 6.0.122 that the server named.",
       ""},
      {"applies-to = 6.0.100.*\nbrings = 6.0.122.3\n", "6.0.122.3",
       "The update archive does not apply to the installed version 6.0.121.3.", ""},
      {"applies-to = *.*.*.*\nbrings = 6.0.122.3\n", "6.0.122.3", "", "6.0.122.3"},
      // Never backwards, nor sideways, whatever it applies to.
      {"applies-to = 6.0.*.*\nbrings = 6.0.121.2\n", "6.0.121.2",
       "The update archive brings version 6.0.121.2, which is not newer than the installed version 6.0.121.3.", ""},
      {"applies-to = 6.0.*.*\nbrings = 6.0.121.3\n", "6.0.121.3",
       "The update archive brings version 6.0.121.3, which is not newer than the installed version 6.0.121.3.", ""},
      {"applies-to = 6.0.*.*\nbrings = 5.9.999.9\n", "5.9.999.9",
       "The update archive brings version 5.9.999.9, which is not newer than the installed version 6.0.121.3.", ""},
      {"applies-to = 6.0.*.*\nbrings = 6.0.121.4\n", "6.0.121.4", "", "6.0.121.4"},
      {"applies-to = 6.0.121.3\n", "6.0.122.3", "The release file of the update archive cannot be read.", ""},
      {"applies-to = 6.0.121.3\nbrings = 6.0.*.3\n", "6.0.122.3",
       "The release file of the update archive cannot be read.", ""},
      {"applies-to = 6.0.121.3\nbrings = 6.0.122.3\nbrings = 6.0.123.3\n", "6.0.122.3",
       "The release file of the update archive cannot be read.", ""},
      {"applies-to 6.0.121.3\nbrings = 6.0.122.3\n", "6.0.122.3",
       "The release file of the update archive cannot be read.", ""},
      {"", "6.0.122.3", "The release file of the update archive cannot be read.", ""},
      // Revocations: fingerprints in any written form; anything else is no release file.
      {"applies-to = 6.0.121.3\nbrings = 6.0.122.3\nrevokes = " + std::string(64, 'A') + "\n", "6.0.122.3", "",
       "6.0.122.3"},
      {"applies-to = 6.0.121.3\nbrings = 6.0.122.3\nrevokes = abc\n", "6.0.122.3",
       "The release file of the update archive cannot be read.", ""},
  };
  for (const auto& c : cases) {
    const ReleaseVerdict v = CheckRelease(c.text, "6.0.121.3", c.replied);
    SCOPED_TRACE(c.text.value_or("(no file)") + " / " + c.replied);
    EXPECT_EQ(v.ok, *c.reason == '\0');
    EXPECT_EQ(v.reason, c.reason);
    if (v.ok) {
      EXPECT_EQ(v.newVersion, c.recorded);
    }
  }
  std::string problem;
  EXPECT_EQ(ParseReleaseText(*FormatReleaseText("6.0.121.*", "6.0.122.3", problem))->brings[2], 122);
  EXPECT_FALSE(FormatReleaseText("6.0.121.3\nbrings = 1.1.1.1", "6.0.122.3", problem));
  const std::string colons = "AA:" + std::string(62, 'b');
  const std::optional<ReleaseInfo> revoking =
      ParseReleaseText(*FormatReleaseText("6.0.121.3", "6.0.122.3", problem, {colons, std::string(64, 'c')}));
  ASSERT_TRUE(revoking);
  EXPECT_EQ(revoking->revokes, (std::vector<std::string>{"aa" + std::string(62, 'b'), std::string(64, 'c')}));
  EXPECT_FALSE(FormatReleaseText("6.0.121.3", "6.0.122.3", problem, {"not a fingerprint"}));
}

}  // namespace
}  // namespace quon
