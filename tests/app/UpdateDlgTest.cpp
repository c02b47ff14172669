// The main window: link recognition, the list page's bytes, the quit
// sequence and the About command.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>

#include "support/SessionFixture.h"
#include "update/Pages.h"
#include "update/UpdateTable.h"

namespace quon {
namespace {

using test::SessionFixture;

using test::RunState;

struct LinkCase {
  const char* url;
  bool userStarted;
  bool installPage;
  LinkAction::Kind kind;
  int32_t update;
};

std::ostream& operator<<(std::ostream& out, const LinkCase& c) {
  return out << c.url << (c.userStarted ? " clicked" : " by the page") << (c.installPage ? " on the install page" : "");
}

// The case's number and the URL's last part, letters and digits only.
std::string LinkCaseName(const ::testing::TestParamInfo<LinkCase>& info) {
  std::string name = std::to_string(info.index) + "_";
  const std::string_view url = info.param.url;
  for (char c : url.substr(url.rfind('/') + 1)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

class Links : public ::testing::TestWithParam<LinkCase> {};

TEST_P(Links, StartRefuseOrLeaveToTheBrowser) {
  const LinkCase& c = GetParam();
  const LinkAction action = ReadLink(c.url, c.userStarted, c.installPage);
  EXPECT_EQ(action.kind, c.kind);
  if (c.kind == LinkAction::Download) {
    EXPECT_EQ(action.update, c.update);
  }
}

constexpr auto kNone = LinkAction::None;
constexpr auto kRefuse = LinkAction::Refuse;
constexpr auto kDownload = LinkAction::Download;
constexpr auto kInstall = LinkAction::Install;
#define LIST_PAGE "file:///opt/quon/QuonUpdateLast.html"

INSTANTIATE_TEST_SUITE_P(
    ListPage, Links,
    ::testing::Values(
        // Update links on the list page start a download; the last '#' counts.
        LinkCase{LIST_PAGE "#update12", true, false, kDownload, 12},
        LinkCase{LIST_PAGE "#Update12", true, false, kDownload, 12},
        LinkCase{LIST_PAGE "#UPDATE12abc", true, false, kDownload, 12},
        LinkCase{LIST_PAGE "#update-3", true, false, kDownload, -3},
        LinkCase{LIST_PAGE "#update 7", true, false, kDownload, 7},
        LinkCase{"about:blank#x#update5", true, false, kDownload, 5},
        // Other links are left to the browser.
        LinkCase{LIST_PAGE "#update", true, false, kNone, 0}, LinkCase{LIST_PAGE "#update0", true, false, kNone, 0},
        LinkCase{LIST_PAGE "#updatex", true, false, kNone, 0}, LinkCase{LIST_PAGE "#top", true, false, kNone, 0},
        LinkCase{LIST_PAGE, true, false, kNone, 0}, LinkCase{LIST_PAGE "#install", true, false, kNone, 0},
        LinkCase{LIST_PAGE "#update5#top", true, false, kNone, 0}, LinkCase{LIST_PAGE "#upd", true, false, kNone, 0}),
    LinkCaseName);

INSTANTIATE_TEST_SUITE_P(InstallPage, Links,
                         ::testing::Values(LinkCase{"file:///x#update12", true, true, kNone, 0},
                                           LinkCase{"file:///x#instal", true, true, kNone, 0},
                                           LinkCase{"file:///x#install", true, true, kInstall, 0},
                                           LinkCase{"file:///x#INSTALLNow", true, true, kInstall, 0}),
                         LinkCaseName);

// A page that navigates by itself (a refresh, a frame, a base address) to an
// action: refused on either page. Other navigations of its own are left to
// the front end.
INSTANTIATE_TEST_SUITE_P(
    NotStartedByTheUser, Links,
    ::testing::Values(LinkCase{LIST_PAGE "#update7", false, false, kRefuse, 0},
                      LinkCase{LIST_PAGE "#UPDATE7", false, true, kRefuse, 0},
                      LinkCase{"http://127.0.0.1:9/x#update7", false, false, kRefuse, 0},
                      LinkCase{LIST_PAGE "#update0", false, true, kRefuse, 0},
                      LinkCase{LIST_PAGE "#install", false, false, kRefuse, 0},
                      LinkCase{LIST_PAGE "#InstallNow", false, true, kRefuse, 0},
                      LinkCase{LIST_PAGE, false, false, kNone, 0}, LinkCase{LIST_PAGE "#top", false, true, kNone, 0},
                      LinkCase{"about:blank", false, false, kNone, 0}),
    LinkCaseName);

struct ListPage : SessionFixture, ::testing::Test {
  std::unique_ptr<UpdateDlg> dlg = MakeDlg();
  UpdateSession& session = dlg->Session();
  ListPage() { RunState(*dlg).m_strProductDir = product.Dir(); }
  void Add(uint32_t id, double date, const char* name, const char* description) {
    RunState(*dlg).m_updateList.push_back(std::make_unique<UpdateEntry>(id, OleDateTime{date, true}, name, description));
  }
  std::string Page() { return product.Read("QuonUpdateLast.html"); }
};

const char kExpectedHeader[] =
    "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
    "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; MARGIN-TOP: "
    "5px\" marginwidth=\"0\" marginheight=\"0\">\n <font face=\"Verdana, Arial, Helvetica, sans-serif\" "
    "size=\"2\" font color=\"#000000\">  </font>\n<CENTER>\n\n<font face=\"Times New Roman, Times, serif\" "
    "size=\"4\">\n<B>Available Updates</B>\n</font>\n<hr>\n</CENTER>\n<CENTER>\n<table width=\"100%\" "
    "border=\"4\" bordercolor=\"#FFFFFF\" cellpadding=\"0\">\n";
const char kExpectedFooter[] = "</table>\n</CENTER>\n</BODY>\n</HTML>\n";

std::string ExpectedRow(const std::string& id, const std::string& name, const std::string& date,
                        const std::string& description) {
  return "<tr>\n\t<td></td>\n<td bgcolor=\"#FFFFFF\">\n\t\t<font face=\"Times New Roman, Times, serif\" "
         "size=\"3\"><a href=\"#update" + id + "\" > <b> " + name + " (" + date +
         ") </b> </a> <br></font>\n\t\t<font face=\"Verdana, Arial, Helvetica, sans-serif\" size=\"2\" font "
         "color=\"#666666\"> " + description +
         " </font> </td>\n\t<td align=\"right\" bgcolor=\"#FFFFFF\"> <font color=\"#666666\">&nbsp;</font>\n "
         "<BR>\n\t</td>\n</tr>\n";
}

TEST_F(ListPage, EmptyListSaysUpToDate) {
  session.ShowAvailableUpdates();
  EXPECT_EQ(Page(), std::string(kExpectedHeader) +
                        "<tr>\n\t<td bgcolor=\"#FFFFFF\">\n\t\t<font face=\"Times New Roman, Times, serif\" "
                        "size=\"3\">Your version of QUON is up-to-date. There are no updates available at this "
                        "time. <br></font>\n<BR>\n\t</td>\n</tr>\n" + kExpectedFooter);
  EXPECT_FALSE(view.statusVisible);
  EXPECT_TRUE(view.statusTexts.empty());
  EXPECT_EQ(view.navigations, std::vector<std::string>{"file://" + product.Dir() + "QuonUpdateLast.html"});
}

TEST_F(ListPage, OneEntryHasItsLinkDateAndStatusLine) {
  Add(12, 38412.5, "Patch A", "First fix");
  session.ShowAvailableUpdates();
  EXPECT_EQ(Page(), kExpectedHeader + ExpectedRow("12", "Patch A", "March 01, 2005", "First fix") + kExpectedFooter);
  EXPECT_TRUE(view.statusVisible);
  EXPECT_EQ(view.statusTexts, std::vector<std::string>{"Click on the link to start the update."});
}

TEST_F(ListPage, SeveralEntriesInListOrderWithUnescapedMarkup) {
  Add(15, 38500.25, "Patch B", "<i>Second</i> fix");
  Add(3000000000u, 1e9, "Big", "100% done");
  Add(2, 38412, "A", "");
  session.ShowAvailableUpdates();
  EXPECT_EQ(Page(), kExpectedHeader + ExpectedRow("15", "Patch B", "May 28, 2005", "<i>Second</i> fix") +
                        ExpectedRow("-1294967296", "Big", "", "100% done") +
                        ExpectedRow("2", "A", "March 01, 2005", "") + kExpectedFooter);
  EXPECT_EQ(view.statusTexts, std::vector<std::string>{"Click on one of the links to start the update."});
  EXPECT_EQ(Page().find('\r'), std::string::npos);
}

// Item 2 of issue 21: a reply of 15 MiB of ';' is 200 empty rows
// (kMaxUpdateRows); a name or
// a description of a megabyte shows its first kMaxPageTextChars.
TEST_F(ListPage, HostileRepliesMakeSmallPages) {
  FieldMap reply;
  reply.Set("rows", "1000000");
  reply.Set("cols", "4");
  reply.Set("dbdata", std::string(15u << 20, ';'));
  ReadUpdateTable(reply, RunState(*dlg).m_updateList);
  session.ShowAvailableUpdates();
  EXPECT_EQ(RunState(*dlg).m_updateList.size(), kMaxUpdateRows);
  EXPECT_LT(Page().size(), 80u * 1024);

  RunState(*dlg).m_updateList.clear();
  Add(7, 38412, std::string(1 << 20, 'n').c_str(), std::string(1 << 20, 'd').c_str());
  session.ShowAvailableUpdates();
  EXPECT_EQ(Page(), kExpectedHeader +
                        ExpectedRow("7", std::string(kMaxPageTextChars - 3, 'n') + "...", "March 01, 2005",
                                    std::string(kMaxPageTextChars - 3, 'd') + "...") +
                        kExpectedFooter);
}

TEST_F(ListPage, UnwritablePageFileStillNavigatesAndKeepsTheStatusHidden) {
  RunState(*dlg).m_strProductDir = product.Dir() + "missing-dir/";
  Add(12, 38412.5, "Patch A", "First fix");
  session.ShowAvailableUpdates();
  EXPECT_FALSE(view.statusVisible);
  EXPECT_EQ(view.navigations.size(), 1u);
}

TEST_F(ListPage, ShowPageWritesTheTextAsIsAndHidesTheStatus) {
  view.statusVisible = true;
  session.ShowPage("List file was not found");
  EXPECT_EQ(Page(), "List file was not found");
  EXPECT_FALSE(view.statusVisible);
  EXPECT_EQ(view.navigations.back(), "file://" + product.Dir() + "QuonUpdateLast.html");
}

struct Quit : SessionFixture, ::testing::Test {
  std::unique_ptr<UpdateDlg> dlg = MakeDlg();
  Quit() {
    RunState(*dlg).m_strProductDir = product.Dir();
    product.Write("QuonUpdateLast.html", "page");
    product.Write("update7.0000", "archive");
    product.Write("update7.0000.dir/a.dll", "a");
    RunState(*dlg).m_strDownloadFile = product.Path("update7.0000");
    RunState(*dlg).m_strUnpackDir = product.Dir() + "update7.0000.dir/";
  }
  void Offer() { RunState(*dlg).m_updateList.push_back(std::make_unique<UpdateEntry>(7, OleDateTime{}, "P", "D")); }
  bool FilesGone() {
    return !product.Exists("QuonUpdateLast.html") && !product.Exists("update7.0000") &&
           !product.Exists("update7.0000.dir");
  }
};

TEST_F(Quit, NothingOfferedQuitsWithoutAsking) {
  dlg->OnCloseButton();
  EXPECT_TRUE(prompts.Texts().empty());
  EXPECT_TRUE(FilesGone());
  EXPECT_EQ(view.endResults, std::vector<int>{1});
}

TEST_F(Quit, IncompleteUpdateAsksNoKeepsEverythingYesCleansUp) {
  Offer();
  dlg->OnCancel();  // Escape does nothing
  EXPECT_TRUE(prompts.boxes.empty());
  prompts.answers = {kIdNo};
  dlg->OnClose();
  ASSERT_EQ(prompts.boxes.size(), 1u);
  EXPECT_EQ(prompts.boxes[0].text, "QUON Update is not complete. Are you sure that you want to quit?");
  EXPECT_EQ(prompts.boxes[0].buttons, MsgButtons::YesNo);
  EXPECT_TRUE(view.endResults.empty());
  EXPECT_TRUE(product.Exists("QuonUpdateLast.html"));
  EXPECT_TRUE(product.Exists("update7.0000"));
  EXPECT_TRUE(product.Exists("update7.0000.dir/a.dll"));
  // Enter runs the same sequence; Yes cleans up and ends.
  prompts.answers = {kIdYes};
  dlg->OnOK();
  EXPECT_EQ(prompts.boxes.size(), 2u);
  EXPECT_TRUE(FilesGone());
  EXPECT_EQ(view.endResults, std::vector<int>{1});
}

TEST_F(Quit, CompletedUpdateQuitsWithoutAsking) {
  Offer();
  RunState(*dlg).m_bUpdateComplete = true;
  dlg->OnOK();
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_EQ(view.endResults, std::vector<int>{1});
}

TEST_F(Quit, UnpackDirectoryWithSubdirectoriesStays) {
  product.Write("update7.0000.dir/sub/b.dll", "b");
  dlg->OnCloseButton();
  EXPECT_FALSE(product.Exists("update7.0000.dir/a.dll"));
  EXPECT_TRUE(product.Exists("update7.0000.dir/sub/b.dll"));
  EXPECT_FALSE(product.Exists("update7.0000"));
}

// The browser waits inside its navigation event for the answer: a followed
// link's operation runs after the event has returned, one at a time, and
// not once the window has ended.
TEST_F(Quit, FollowedLinkRunsAfterTheEventOneAtATimeAndNotAfterTheEnd) {
  Offer();
  bool first = false, second = false;
  dlg->OnBeforeNavigate2(LIST_PAGE "#update7", true, first);
  dlg->OnBeforeNavigate2(LIST_PAGE "#update8", true, second);
  EXPECT_TRUE(first && second);
  EXPECT_TRUE(prompts.boxes.empty()) << "the download ran inside the event";
  ASSERT_EQ(view.posted.size(), 1u);
  view.RunPosted();
  const std::vector<std::string> afterDownload = prompts.Texts();  // the failed download's message
  EXPECT_EQ(afterDownload.size(), 1u);

  bool third = false;
  dlg->OnBeforeNavigate2(LIST_PAGE "#update7", true, third);
  EXPECT_TRUE(third);
  prompts.answers = {kIdYes};
  dlg->OnClose();
  view.RunPosted();
  EXPECT_EQ(prompts.boxes.size(), afterDownload.size() + 1) << "a download ran after the window ended";
  EXPECT_TRUE(FilesGone());
}

TEST_F(Quit, AboutComesFromTheButtonAndTheSystemMenu) {
  dlg->OnAbout();
  EXPECT_TRUE(dlg->OnSysCommand(16));
  EXPECT_TRUE(dlg->OnSysCommand(16 | 0x3));
  EXPECT_FALSE(dlg->OnSysCommand(0xF060));  // SC_CLOSE goes to the default handling
  EXPECT_EQ(view.events, (std::vector<std::string>{"about", "about", "about"}));
}

}  // namespace
}  // namespace quon
