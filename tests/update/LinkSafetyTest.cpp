// What in a product directory is not the updater's own: links (junctions
// and symbolic links, which Windows shows as reparse points) and names
// that only look like its own. Nothing is written, emptied or deleted
// through a link, and a look-alike name is never taken for one of ours, on
// both systems.
#include <gtest/gtest.h>

#include <map>

#include "support/Fakes.h"
#include "support/Links.h"
#include "update/RunFiles.h"
#include "update/UpdateListFile.h"

namespace quon {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Every file below `dir` with its bytes.
std::map<std::string, std::string> Contents(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (auto& e : fs::recursive_directory_iterator(dir.Root())) {
    if (e.is_regular_file())
      files[fs::relative(e.path(), dir.Root()).generic_string()] = test::ReadFile(e.path().string());
  }
  return files;
}

TEST(LinkSafety, NothingIsWrittenEmptiedOrDeletedThroughALink) {
  TempDir product, outside, unpack;
  // Outside the product: files with the updater's own names among others.
  for (const char* name : {"update1.0000", "x.dat", "a.dll.quonupd", "sub/Quon.chm.quonupd", "sub/keep.txt"}) {
    outside.Write(name, "outside");
  }
  const auto before = Contents(outside);
  product.Write("update7.0000", "left by an earlier run");
  for (const char* name : {"update7.0000.dir", "Data", "Help"}) {
    ASSERT_TRUE(test::MakeLink(product.Path(name), outside.Root().string())) << name;
  }
  unpack.Write("x.dat", "new");
  FileSystem& files = SystemFileSystem();

  // The start-up clean-up takes the leftover archive, and neither walks
  // into the links nor empties one named like an unpack directory.
  RemoveLeftoversOfEarlierRuns(files, product.Dir());
  EXPECT_FALSE(product.Exists("update7.0000"));
  // The removal of a run's own files, when a link took their names.
  RemoveUnpackedAndArchive(files, product.Path("update7.0000.dir") + std::string(1, fs::path::preferred_separator),
                           product.Path("Help"));
  // An entry whose directory is a link fails, and nothing is written there.
  UpdateListFile list;
  list.ParseText("[MAIN]\nData\\x.dat\n");
  test::FakePrompts prompts;
  std::vector<std::string> failed;
  EXPECT_FALSE(list.InstallFiles(files, {}, product.Dir(), unpack.Dir(), failed, prompts));
  EXPECT_EQ(failed, std::vector<std::string>{"Data\\x.dat"});

  // The links as such: seen, never taken for what they lead to; deleted
  // (where the system can), only themselves.
  std::unique_ptr<FsDir> dir, through;
  ASSERT_EQ(files.OpenRoot(product.Dir(), dir), FsError::None);
  FsInfo info;
  ASSERT_EQ(files.Stat(*dir, "Data", info), FsError::None);
  EXPECT_EQ(info.type, FsType::Link);
  EXPECT_EQ(files.OpenDir(*dir, "Data", through, dir.get()), FsError::IsLink);
  std::unique_ptr<FsFile> file;
  EXPECT_NE(files.CreateFile(*dir, "Data", false, file), FsError::None);
  EXPECT_NE(files.OpenFile(*dir, "Data", FsAccess::Modify, file), FsError::None);
  files.Delete(*dir, "Data");

  EXPECT_EQ(Contents(outside), before);
}

// A name that the program's 8-bit text cannot spell (full-width letters
// outside the code page) is no name of the updater's, even where the
// system would give it a look-alike spelling.
TEST(LinkSafety, ALookAlikeNameIsNeverOneOfOurs) {
  TempDir product;
  // "update1.0000" in full-width letters (U+FF55 ...), as UTF-8.
  const fs::path lookAlike =
      product.Root() / fs::u8path(
                           "\xEF\xBD\x95\xEF\xBD\x90\xEF\xBD\x84\xEF\xBD\x81\xEF\xBD\x94\xEF\xBD\x85"
                           "1.0000");
  std::ofstream(lookAlike, std::ios::binary) << "the user's own";
  product.Write("update1.0000", "ours");
  RemoveLeftoversOfEarlierRuns(SystemFileSystem(), product.Dir());
  EXPECT_FALSE(product.Exists("update1.0000"));
  EXPECT_TRUE(fs::exists(lookAlike));
}

}  // namespace
}  // namespace quon
