// Update.List: reading its sections.
#include <gtest/gtest.h>

#include "support/Fakes.h"
#include "update/UpdateListFile.h"

namespace quon {
namespace {

using test::FakePrompts;
using test::TempDir;

UpdateListFile Parse(const std::string& text) {
  UpdateListFile file;
  file.ParseText(text);
  return file;
}

TEST(ListFileReading, SectionsKeysAndFileEntries) {
  UpdateListFile file = Parse(
      "stray before any header\r\n"
      "[main] trailing words\r\n"
      "name=Service release\r\n"
      "NAME = ignored key\r\n"
      "DESCRIPTION=a=b\r\n"
      "\r\n"
      "  \t QUON.EXE  \t\r\n"
      "lib\\x.dll\n"
      "a remark without equals\n"
      "[M3]\n"
      "m3.dll\n");
  ASSERT_EQ(file.SectionCount(), 2u);
  const UpdateListSection* main = file.FindSection("MAIN");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->m_strName, "MAIN");
  EXPECT_EQ(main->GetSectionValue("NAME"), "Service release");
  EXPECT_EQ(main->GetSectionValue("NAME "), " ignored key");
  EXPECT_EQ(main->GetSectionValue("DESCRIPTION"), "a=b");
  EXPECT_EQ(main->GetSectionValue("OTHER"), "");
  EXPECT_EQ(main->m_fileLines, (std::vector<std::string>{"QUON.EXE", "lib\\x.dll", "a remark without equals"}));
  ASSERT_NE(file.FindSection("M3"), nullptr);
  EXPECT_EQ(file.FindSection("M3")->m_fileLines, std::vector<std::string>{"m3.dll"});
}

TEST(ListFileReading, RepeatedHeadersAndKeysKeepTheLast) {
  UpdateListFile file = Parse("[MAIN]\na.dll\nNAME=one\nNAME=two\n[Main]\nb.dll\n[unclosed\nc.dll\n");
  const UpdateListSection* main = file.FindSection("MAIN");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->m_fileLines, std::vector<std::string>{"b.dll"});
  EXPECT_EQ(main->GetSectionValue("NAME"), "");
  ASSERT_NE(file.FindSection(""), nullptr);  // a header without ']'
  EXPECT_EQ(file.FindSection("")->m_fileLines, std::vector<std::string>{"c.dll"});
  EXPECT_EQ(Parse("[MAIN]\nNAME=one\nNAME=two\n").FindSection("MAIN")->GetSectionValue("NAME"), "two");
}

TEST(ListFileReading, LineEndsAtItsFirstNul) {
  using namespace std::string_literals;
  UpdateListFile file = Parse("[MAIN]\nbrandnew.dll\0x\r\nNAME=one\0=two\n\0hidden.dll\n[M\0x]\nm.dll\n"s);
  ASSERT_NE(file.FindSection("MAIN"), nullptr);
  EXPECT_EQ(file.FindSection("MAIN")->m_fileLines, std::vector<std::string>{"brandnew.dll"});
  EXPECT_EQ(file.FindSection("MAIN")->GetSectionValue("NAME"), "one");
  ASSERT_NE(file.FindSection(""), nullptr);  // "[M" has no ']'
  EXPECT_EQ(file.FindSection("")->m_fileLines, std::vector<std::string>{"m.dll"});
}

TEST(ListFileReading, MissingFileIsReportedWithItsPath) {
  TempDir dir;
  FakePrompts prompts;
  UpdateListFile file;
  file.ParseText("[MAIN]\nold.dll\n");
  const std::string path = dir.Path("Update.List");
  EXPECT_FALSE(file.ReadListFile(path, prompts));
  EXPECT_EQ(prompts.Texts(), std::vector<std::string>{path + " was not found."});
  EXPECT_EQ(file.SectionCount(), 0u);

  dir.Write("Update.List", "[MAIN]\nnew.dll");
  EXPECT_TRUE(file.ReadListFile(path, prompts));
  EXPECT_EQ(file.FindSection("MAIN")->m_fileLines, std::vector<std::string>{"new.dll"});
  EXPECT_EQ(prompts.Texts().size(), 1u);
}

TEST(ListFileReading, FileLargerThanTheBoundIsRefusedWhole) {
  TempDir dir;
  FakePrompts prompts;
  UpdateListFile file;
  const std::string path = dir.Path("Update.List");
  std::string text = "[MAIN]\nfirst.dll\n";
  text.resize(kMaxListFileBytes, '\n');
  dir.Write("Update.List", text);
  EXPECT_TRUE(file.ReadListFile(path, prompts));
  EXPECT_EQ(file.FindSection("MAIN")->m_fileLines, std::vector<std::string>{"first.dll"});

  dir.Write("Update.List", text + "last.dll\n");
  EXPECT_FALSE(file.ReadListFile(path, prompts));
  EXPECT_EQ(prompts.Texts(), std::vector<std::string>{path + " is larger than 262144 bytes and was not read."});
  EXPECT_EQ(file.SectionCount(), 0u);
}

}  // namespace
}  // namespace quon
