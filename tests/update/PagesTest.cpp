// The install page made from a list file: its rows, and its bounds.
#include <gtest/gtest.h>

#include "base/DisplayText.h"
#include "update/Pages.h"
#include "update/UpdateListFile.h"

namespace quon {
namespace {

UpdateListFile Parse(const std::string& text) {
  UpdateListFile file;
  file.ParseText(text);
  return file;
}

std::string Item(const std::string& entry) {
  return "\t\t<font face=\"Verdana, Arial, Helvetica, sans-serif\" size=\"2\" font> " + entry + " </font><br>\n";
}
std::string Row(const std::string& name, const std::string& description, const std::string& items) {
  return "<tr>\n\t<td></td>\n<td bgcolor=\"#FFFFFF\">\n\t\t<font face=\"Times New Roman, Times, serif\" "
         "size=\"3\">" +
         name +
         "</font><br>\n\t\t<font face=\"Verdana, Arial, Helvetica, sans-serif\" size=\"2\" "
         "font> " +
         description + " </font><ul>\n" + items + " </ul></td>\n</tr>\n";
}
const char kHeader[] =
    "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
    "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; MARGIN-TOP: "
    "5px\" marginwidth=\"0\" marginheight=\"0\">\n <CENTER>\n\n<font face=\"Times New Roman, Times, serif\" "
    "size=\"4\">\n<B>Update Information</B>\n</font>\n<hr>\n</CENTER>\n<CENTER>\n<table width=\"100%\" "
    "border=\"4\" bordercolor=\"#FFFFFF\" cellpadding=\"0\">\n";
const char kFooter[] =
    "</table>\n</CENTER>\n<CENTER><font face=\"Times New Roman, Times, serif\" size=\"3\"><a href=\"#install\" > "
    "<b> Click here to update these files</b> </a> <br></font></CENTER><BR><BR></BODY>\n</HTML>\n";

TEST(InstallPage, ModulesWithoutTitleJoinTheMainGroup) {
  UpdateListFile file = Parse(
      "[MAIN]\nNAME=Service release\nDESCRIPTION=Fixes <b>all</b>\nQUON.EXE\n  lib/x.dll\n"
      "[M5]\nNAME=Mesher\nmesh.dll\n"
      "[M3]\nm3.dll\n"
      "[M4]\nNAME=Not installed\nm4.dll\n");
  EXPECT_EQ(InstallPage(file, {3, 5}),
            kHeader +
                Row("Service release", "Fixes <b>all</b>", Item("QUON.EXE") + Item("lib/x.dll") + Item("m3.dll")) +
                Row("Mesher", "", Item("mesh.dll")) + kFooter);
}

TEST(InstallPage, WithoutApplicableSectionsOnlyTheFrameRemains) {
  EXPECT_EQ(InstallPage(Parse("[M4]\nNAME=x\nx.dll\n"), {3}), std::string(kHeader) + kFooter);
  EXPECT_EQ(InstallPage(Parse(""), {}), std::string(kHeader) + kFooter);
  // A module without a MAIN section still gets a main row for its files.
  EXPECT_EQ(InstallPage(Parse("[M3]\nm3.dll\n"), {3}), kHeader + Row("", "", Item("m3.dll")) + kFooter);
}

// Item 2 of issue 21: a list file of the largest size read makes a page of
// at most 500
// entries, each at most kMaxShownPathChars, and titles of at most
// kMaxPageTextChars; the rest is counted.
TEST(InstallPage, HostileListFilesMakeSmallPages) {
  std::string entries;
  while (entries.size() < kMaxListFileBytes - 16) entries += "a\n";
  std::string deep;
  while (deep.size() < 63999) deep += "a/";
  deep += "x";
  struct Case {
    std::string list;
    std::string itemsEnd;  // the end of the page's last row
  } const cases[] = {
      {"[MAIN]\n" + entries, Item("a") + Item("and " + std::to_string(entries.size() / 2 - 500) + " more files")},
      {"[MAIN]\n" + deep + "\n", Item(ShortenPath(deep))},
      {"[MAIN]\nNAME=" + std::string(200000, 'n') + "\nDESCRIPTION=" + std::string(200000, 'd') + "\nx.dll\n" +
           "[M3]\nNAME=m\n" + entries,
       Item("a") + Item("and " + std::to_string(entries.size() / 2 - 499) + " more files")},
  };
  for (const Case& c : cases) {
    const std::string page = InstallPage(Parse(c.list), {3});
    EXPECT_LT(page.size(), 64u * 1024);
    const std::string end = c.itemsEnd + " </ul></td>\n</tr>\n" + kFooter;
    ASSERT_GE(page.size(), end.size());
    EXPECT_EQ(page.substr(page.size() - end.size()), end);
    EXPECT_EQ(page.find(std::string(kMaxPageTextChars, 'n')), std::string::npos);
  }
}

TEST(InstallPage, ModuleSectionNamesHaveNoLeadingZeros) {
  EXPECT_EQ(ModuleSectionName(3), "M3");
  EXPECT_EQ(ModuleSectionName(-2), "M-2");
  EXPECT_EQ(InstallPage(Parse("[M03]\nx.dll\n"), {3}), std::string(kHeader) + kFooter);
}

}  // namespace
}  // namespace quon
