// The main window: link recognition, the list page's bytes, the quit
// sequence and the About command.
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "update/Pages.h"

namespace quon {
namespace {

using test::SessionFixture;

// Records the operations that links start instead of running them.
class RecordingDlg : public UpdateDlg {
 public:
  using UpdateDlg::UpdateDlg;
  std::vector<int32_t> downloads;
  int installs = 0;
  void DownloadUpdate(int32_t n) override { downloads.push_back(n); }
  void InstallUpdate() override { ++installs; }
};

struct Links : SessionFixture, ::testing::Test {
  std::unique_ptr<RecordingDlg> dlg = MakeDlg<RecordingDlg>();
  // A navigation the user started (userStarted) or one a page made itself.
  bool Click(const std::string& url, bool userStarted = true) {
    bool cancel = false;
    dlg->OnBeforeNavigate2(url, userStarted, cancel);
    return cancel;
  }
};

TEST_F(Links, UpdateLinksOnTheListPageStartADownload) {
  const std::string base = "file:///opt/quon/QuonUpdateLast.html";
  EXPECT_TRUE(Click(base + "#update12"));
  EXPECT_TRUE(Click(base + "#Update12"));
  EXPECT_TRUE(Click(base + "#UPDATE12abc"));
  EXPECT_TRUE(Click(base + "#update-3"));
  EXPECT_TRUE(Click(base + "#update 7"));
  EXPECT_TRUE(Click("about:blank#x#update5"));  // the last '#' counts
  EXPECT_EQ(dlg->downloads, (std::vector<int32_t>{12, 12, 12, -3, 7, 5}));
}

TEST_F(Links, OtherLinksOnTheListPageAreLeftToTheBrowser) {
  const std::string base = "file:///opt/quon/QuonUpdateLast.html";
  for (const std::string& url : {base + "#update", base + "#update0", base + "#updatex", base + "#top",
                                 base, base + "#install", base + "#update5#top", base + "#upd"}) {
    EXPECT_FALSE(Click(url)) << url;
  }
  EXPECT_TRUE(dlg->downloads.empty());
  EXPECT_EQ(dlg->installs, 0);
}

TEST_F(Links, OnTheInstallPageOnlyInstallCounts) {
  dlg->m_bInstallPage = true;
  EXPECT_FALSE(Click("file:///x#update12"));
  EXPECT_FALSE(Click("file:///x#instal"));
  EXPECT_TRUE(Click("file:///x#install"));
  EXPECT_TRUE(Click("file:///x#INSTALLNow"));
  EXPECT_TRUE(dlg->downloads.empty());
  EXPECT_EQ(dlg->installs, 2);
}

// A page that navigates by itself (a refresh, a frame, a base address) to an
// action: cancelled on either page, and nothing runs. Other navigations of
// its own are left to the front end.
TEST_F(Links, NavigationsTheUserDidNotStartNeverRunAnOperation) {
  struct Case {
    const char* url;
    bool cancelled;
  };
  const Case cases[] = {
      {"file:///opt/quon/QuonUpdateLast.html#update7", true},
      {"file:///opt/quon/QuonUpdateLast.html#UPDATE7", true},
      {"http://127.0.0.1:9/x#update7", true},
      {"file:///opt/quon/QuonUpdateLast.html#update0", true},
      {"file:///opt/quon/QuonUpdateLast.html#install", true},
      {"file:///opt/quon/QuonUpdateLast.html#InstallNow", true},
      {"file:///opt/quon/QuonUpdateLast.html", false},
      {"file:///opt/quon/QuonUpdateLast.html#top", false},
      {"about:blank", false},
  };
  for (bool installPage : {false, true}) {
    dlg->m_bInstallPage = installPage;
    for (const Case& c : cases) EXPECT_EQ(Click(c.url, false), c.cancelled) << c.url << " install page " << installPage;
  }
  EXPECT_TRUE(dlg->downloads.empty());
  EXPECT_EQ(dlg->installs, 0);
}

struct ListPage : SessionFixture, ::testing::Test {
  std::unique_ptr<UpdateDlg> dlg = MakeDlg();
  ListPage() { dlg->m_strProductDir = product.Dir(); }
  void Add(uint32_t id, double date, const char* name, const char* description) {
    dlg->m_updateList.push_back(std::make_unique<UpdateEntry>(id, OleDateTime{date, true}, name, description));
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
  dlg->ShowAvailableUpdates();
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
  dlg->ShowAvailableUpdates();
  EXPECT_EQ(Page(), kExpectedHeader + ExpectedRow("12", "Patch A", "March 01, 2005", "First fix") + kExpectedFooter);
  EXPECT_TRUE(view.statusVisible);
  EXPECT_EQ(view.statusTexts, std::vector<std::string>{"Click on the link to start the update."});
}

TEST_F(ListPage, SeveralEntriesInListOrderWithUnescapedMarkup) {
  Add(15, 38500.25, "Patch B", "<i>Second</i> fix");
  Add(3000000000u, 1e9, "Big", "100% done");
  Add(2, 38412, "A", "");
  dlg->ShowAvailableUpdates();
  EXPECT_EQ(Page(), kExpectedHeader + ExpectedRow("15", "Patch B", "May 28, 2005", "<i>Second</i> fix") +
                        ExpectedRow("-1294967296", "Big", "", "100% done") +
                        ExpectedRow("2", "A", "March 01, 2005", "") + kExpectedFooter);
  EXPECT_EQ(view.statusTexts, std::vector<std::string>{"Click on one of the links to start the update."});
  EXPECT_EQ(Page().find('\r'), std::string::npos);
}

TEST_F(ListPage, UnwritablePageFileStillNavigatesAndKeepsTheStatusHidden) {
  dlg->m_strProductDir = product.Dir() + "missing-dir/";
  Add(12, 38412.5, "Patch A", "First fix");
  dlg->ShowAvailableUpdates();
  EXPECT_FALSE(view.statusVisible);
  EXPECT_EQ(view.navigations.size(), 1u);
}

TEST_F(ListPage, ShowPageWritesTheTextAsIsAndHidesTheStatus) {
  view.statusVisible = true;
  dlg->ShowPage("List file was not found");
  EXPECT_EQ(Page(), "List file was not found");
  EXPECT_FALSE(view.statusVisible);
  EXPECT_EQ(view.navigations.back(), "file://" + product.Dir() + "QuonUpdateLast.html");
}

struct Quit : SessionFixture, ::testing::Test {
  std::unique_ptr<UpdateDlg> dlg = MakeDlg();
  Quit() {
    dlg->m_strProductDir = product.Dir();
    product.Write("QuonUpdateLast.html", "page");
    product.Write("update7.0000", "archive");
    product.Write("update7.0000.dir/a.dll", "a");
    dlg->m_strDownloadFile = product.Path("update7.0000");
    dlg->m_strUnpackDir = product.Dir() + "update7.0000.dir/";
  }
  void Offer() { dlg->m_updateList.push_back(std::make_unique<UpdateEntry>(7, OleDateTime{}, "P", "D")); }
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
  dlg->m_bUpdateComplete = true;
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

TEST_F(Quit, AboutComesFromTheButtonAndTheSystemMenu) {
  dlg->OnAbout();
  EXPECT_TRUE(dlg->OnSysCommand(16));
  EXPECT_TRUE(dlg->OnSysCommand(16 | 0x3));
  EXPECT_FALSE(dlg->OnSysCommand(0xF060));  // SC_CLOSE goes to the default handling
  EXPECT_EQ(view.events, (std::vector<std::string>{"about", "about", "about"}));
}

}  // namespace
}  // namespace quon
