// quon-pack: which entries are safe, the Update.List it writes, and
// archives that unpack to the original bytes.
#include <gtest/gtest.h>

#include <filesystem>

#include "PackList.h"
#include "support/ServerProcess.h"

namespace quon::pack {
namespace {

TEST(PackEntries, RefusesNamesThatCannotBeUnpackedOrReadBackSafely) {
  for (const char* good : {"QSolver.dll", "Help/Quon.chm", "Materials\\Steel grades.mlib", "a.b.c", "x/y\\z.txt",
                           "caf\xE9.txt", "console.dll"})
    EXPECT_FALSE(CheckEntryPath(good)) << good;
  for (const char* bad :
       {"",          "/abs.dll",   "\\abs.dll", "../up.dll",   "a/../b.dll",      "./a.dll",      "a//b.dll",
        "dir/",      "c:x.dll",    "C:\\x.dll", "tab\there",   "new\nline",       "a=b.dll",      "[MAIN]",
        " lead.dll", "trail.dll ", "dot.",      "con",         "NUL.txt",         "dir/COM1.log", "what?.dll",
        "a|b",       "a<b",        "CONIN$",    "conout$.txt", "COM\xC2\xB9.dll", "lpt\xC2\xB3"})
    EXPECT_TRUE(CheckEntryPath(bad)) << bad;
  EXPECT_TRUE(CheckText("two\r\nlines"));
  EXPECT_FALSE(CheckText("Service release = 100% & more"));
  EXPECT_EQ(ParseModuleNumber("3"), 3);
  EXPECT_EQ(ParseModuleNumber("-2147483648"), INT32_MIN);
  EXPECT_FALSE(ParseModuleNumber("2147483648"));
  EXPECT_FALSE(ParseModuleNumber("03x"));
  EXPECT_FALSE(ParseModuleNumber("-"));
}

std::vector<PackSection> Sections(std::initializer_list<std::vector<std::string>> files) {
  std::vector<PackSection> sections;
  int module = 0;
  for (const auto& list : files) {
    PackSection s;
    s.isModule = module > 0;
    s.module = module++;
    for (const auto& f : list) {
      PackEntry e;
      EXPECT_FALSE(MakeEntry(f, "base", e)) << f;
      s.entries.push_back(e);
    }
    sections.push_back(s);
  }
  return sections;
}

TEST(PackEntries, StoredNamesMustDifferIgnoringCase) {
  EXPECT_TRUE(CheckSections(Sections({{"bin/a.dll", "b.dll"}, {"c.dll"}})).empty());
  auto problems = CheckSections(Sections({{"bin/Solver.DLL"}, {"lib\\solver.dll"}}));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("collides with 'bin\\Solver.DLL'"), std::string::npos) << problems[0];
  EXPECT_EQ(CheckSections(Sections({{"doc/update.list"}})).size(), 1u);
  // Windows folds the case of accented letters as well.
  EXPECT_EQ(CheckSections(Sections({{"Caf\xC9.txt", "caf\xE9.TXT"}})).size(), 1u);
  EXPECT_TRUE(CheckSections(Sections({{"a\xD7.txt", "a\xF7.txt"}})).empty());
  // Names in UTF-8 as well: \xC3\x84 and \xC3\xA4 are one letter to Windows.
  EXPECT_EQ(CheckSections(Sections({{"\xC3\x84.dll", "x/\xC3\xA4.dll"}})).size(), 1u);
  EXPECT_TRUE(CheckSections(Sections({{"\xC3\x84.dll", "\xC3\x85.dll"}})).empty());
  EXPECT_EQ(CheckSections(Sections({{}})).size(), 1u);                // no file at all
  EXPECT_EQ(CheckSections(Sections({{"a.dll"}, {}})).size(), 1u);     // empty module
  auto twice = Sections({{"a.dll"}, {"b.dll"}});
  twice.push_back(twice[1]);
  twice.back().entries[0].storedName = "c.dll";
  EXPECT_EQ(CheckSections(twice).size(), 1u);  // module 1 twice
}

TEST(PackEntries, UpdateListReadsBackAsWritten) {
  auto sections = Sections({{"QSolver.dll", "Help/Quon.chm"}, {"Materials/Composites.mlib"}});
  sections[0].name = "Service Pack 1";
  sections[0].description = "Solver = faster";
  sections[1].module = 3;
  sections[1].name = "Composites";
  EXPECT_EQ(BuildUpdateList(sections),
            "[MAIN]\r\nNAME=Service Pack 1\r\nDESCRIPTION=Solver = faster\r\nQSolver.dll\r\nHelp\\Quon.chm\r\n"
            "\r\n[M3]\r\nNAME=Composites\r\nMaterials\\Composites.mlib\r\n");
  EXPECT_EQ(sections[0].entries[1].storedName, "Quon.chm");
  EXPECT_EQ(sections[0].entries[1].source, "base/Help/Quon.chm");
}

TEST(PackTool, WritesACabinetThatUnpacksToTheOriginalBytes) {
  test::TempDir dir;
  const std::string solver = test::RandomBytes(200000, 7);
  const std::string text(100000, 'q');
  test::WriteFile(dir.Path("src/QSolver.dll"), solver);
  test::WriteFile(dir.Path("src/Help/Quon.chm"), text);
  test::WriteFile(dir.Path("src/Materials/Composites.mlib"), "");
  test::RunResult run = test::RunProgram({QUON_PACK_BIN, "-o", dir.Path("out.cab"), "-C", dir.Path("src"), "--name",
                                          "SP1", "--description", "All", "QSolver.dll", "Help/Quon.chm", "--module",
                                          "3", "--name", "Composites", "Materials/Composites.mlib"});
  ASSERT_EQ(run.status, 0) << run.output;
  run = test::RunProgram({"/usr/bin/cabextract", "-q", "-d", dir.Path("x"), dir.Path("out.cab")});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(test::ReadFile(dir.Path("x/QSolver.dll")) == solver);
  EXPECT_EQ(test::ReadFile(dir.Path("x/Quon.chm")), text);
  EXPECT_TRUE(std::filesystem::exists(dir.Path("x/Composites.mlib")));
  EXPECT_EQ(test::ReadFile(dir.Path("x/Update.List")),
            "[MAIN]\r\nNAME=SP1\r\nDESCRIPTION=All\r\nQSolver.dll\r\nHelp\\Quon.chm\r\n\r\n"
            "[M3]\r\nNAME=Composites\r\nMaterials\\Composites.mlib\r\n");
  size_t count = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::recursive_directory_iterator(dir.Path("x"))) ++count;
  EXPECT_EQ(count, 4u);  // flat: no directories inside the archive

  // Compressed, not stored.
  test::WriteFile(dir.Path("src/big.txt"), std::string(1 << 20, 'z'));
  ASSERT_EQ(test::RunProgram({QUON_PACK_BIN, "-o", dir.Path("z.cab"), "-C", dir.Path("src"), "--name", "Z", "big.txt"}).status, 0);
  EXPECT_LT(std::filesystem::file_size(dir.Path("z.cab")), 100000u);
}

TEST(PackTool, RefusesBadInputWithoutWritingAnArchive) {
  test::TempDir dir, outside;
  test::WriteFile(dir.Path("bin/a.dll"), "1");
  test::WriteFile(dir.Path("lib/A.DLL"), "2");
  test::WriteFile(outside.Path("secret.dll"), "3");
  std::filesystem::create_symlink(outside.Path("secret.dll"), dir.Path("bin/link.dll"));
  std::filesystem::create_directory_symlink(outside.Root(), dir.Path("out"));
  // 4 GiB without writing them: a sparse file.
  test::WriteFile(dir.Path("big.dat"), "");
  std::filesystem::resize_file(dir.Path("big.dat"), uint64_t{1} << 32);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"--name", "X", "bin/a.dll", "lib/A.DLL"}, 1, "collides"},
      {{"--name", "X", "bin/a.dll", "--module", "2", "lib/A.DLL"}, 1, "collides"},
      {{"--name", "X", "../a.dll"}, 1, "'.' or '..'"},
      {{"--name", "X", "bin/missing.dll"}, 1, "cannot read"},
      {{"--name", "X", "bin"}, 1, "not a regular file"},
      {{"--name", "X", "bin/link.dll"}, 1, "is a symbolic link"},
      {{"--name", "X", "out/secret.dll"}, 1, "is a symbolic link"},
      {{"--name", "X", "big.dat"}, 1, "4 GiB or larger"},
      {{"--name", "X"}, 1, "lists no file"},
      {{"bin/a.dll"}, 2, "--name is required"},
      {{"--name", "X", "--name", "Y", "bin/a.dll"}, 2, "given twice"},
      {{"--name", "two\nlines", "bin/a.dll"}, 2, "one line"},
      {{"--name", "X", "--module", "x3", "bin/a.dll"}, 2, "--module needs a number"},
      {{"--name", "X", "--bogus", "bin/a.dll"}, 2, "unknown option"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {QUON_PACK_BIN, "-o", dir.Path("out.cab"), "-C", dir.Root().string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    test::RunResult run = test::RunProgram(args);
    EXPECT_EQ(run.status, c.status) << c.message << "\n" << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("out.cab"))) << c.message;
  }
}

}  // namespace
}  // namespace quon::pack
