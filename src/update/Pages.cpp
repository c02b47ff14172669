#include "update/Pages.h"

#include <algorithm>
#include <initializer_list>

#include "base/DisplayText.h"
#include "base/Trace.h"
#include "update/OleDate.h"

namespace quon {

const char kPageFileName[] = "QuonUpdateLast.html";

const char kUpToDateText[] = "Your version of QUON is up-to-date. There are no updates available at this time.";

namespace {

// The available-updates page: the header (one %s), a row per update (%i,
// %s, %s, %s) or the message row (one %s), the footer.
const char kListHeaderTemplate[] =
    "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
    "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; "
    "MARGIN-TOP: 5px\" marginwidth=\"0\" marginheight=\"0\">\n <font face=\"Verdana, Arial, Helvetica, "
    "sans-serif\" size=\"2\" font color=\"#000000\"> %s </font>\n<CENTER>\n\n<font face=\"Times New Roman, "
    "Times, serif\" size=\"4\">\n<B>Available Updates</B>\n</font>\n<hr>\n</CENTER>\n<CENTER>\n<table "
    "width=\"100%%\" border=\"4\" bordercolor=\"#FFFFFF\" cellpadding=\"0\">\n";

const char kListUpdateRowTemplate[] =
    "<tr>\n\t<td></td>\n<td bgcolor=\"#FFFFFF\">\n\t\t<font face=\"Times New Roman, Times, serif\" "
    "size=\"3\"><a href=\"#update%i\" > <b> %s (%s) </b> </a> <br></font>\n\t\t<font face=\"Verdana, Arial, "
    "Helvetica, sans-serif\" size=\"2\" font color=\"#666666\"> %s </font> </td>\n\t<td align=\"right\" "
    "bgcolor=\"#FFFFFF\"> <font color=\"#666666\">&nbsp;</font>\n <BR>\n\t</td>\n</tr>\n";

const char kListMessageRowTemplate[] =
    "<tr>\n\t<td bgcolor=\"#FFFFFF\">\n\t\t<font face=\"Times New Roman, Times, serif\" size=\"3\">%s "
    "<br></font>\n<BR>\n\t</td>\n</tr>\n";

const char kListFooter[] = "</table>\n</CENTER>\n</BODY>\n</HTML>\n";

// The install page: the header, rows (%s, %s, %s: the title, the
// description and the items, one %s each), the footer with the install link.
const char kInstallHeader[] =
    "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
    "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; "
    "MARGIN-TOP: 5px\" marginwidth=\"0\" marginheight=\"0\">\n <CENTER>\n\n<font face=\"Times New Roman, "
    "Times, serif\" size=\"4\">\n<B>Update Information</B>\n</font>\n<hr>\n</CENTER>\n<CENTER>\n<table "
    "width=\"100%\" border=\"4\" bordercolor=\"#FFFFFF\" cellpadding=\"0\">\n";

const char kInstallRowTemplate[] =
    "<tr>\n\t<td></td>\n<td bgcolor=\"#FFFFFF\">\n\t\t<font face=\"Times New Roman, Times, serif\" "
    "size=\"3\">%s</font><br>\n\t\t<font face=\"Verdana, Arial, Helvetica, sans-serif\" size=\"2\" font> %s "
    "</font><ul>\n%s </ul></td>\n</tr>\n";

const char kInstallItemTemplate[] =
    "\t\t<font face=\"Verdana, Arial, Helvetica, sans-serif\" size=\"2\" font> %s </font><br>\n";

const char kInstallFooter[] =
    "</table>\n</CENTER>\n<CENTER><font face=\"Times New Roman, Times, serif\" size=\"3\"><a "
    "href=\"#install\" > <b> Click here to update these files</b> </a> "
    "<br></font></CENTER><BR><BR></BODY>\n</HTML>\n";

// The results page (one %s).
const char kMessagePageTemplate[] =
    "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
    "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; "
    "MARGIN-TOP: 5px\" marginwidth=\"0\" marginheight=\"0\">\n <CENTER>\n<br><br><br><br>\n<font "
    "face=\"Times New Roman, Times, serif\" size=\"2\">\n%s\n</font>\n</CENTER>\n</BODY>\n</HTML>\n";

// Fills a printf-style template: each %s or %i takes the next argument as
// it stands (numbers are formatted by the caller), %% gives %. Arguments
// are never scanned for placeholders themselves.
std::string FillTemplate(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  auto next = args.begin();
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char ch = tmpl[i];
    if (ch == '%' && i + 1 < tmpl.size()) {
      char conversion = tmpl[i + 1];
      if (conversion == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (conversion == 's' || conversion == 'i') {
        if (next != args.end()) out.append(next->data(), next->size()), ++next;
        ++i;
        continue;
      }
    }
    out += ch;
  }
  return out;
}

}  // namespace

std::string PageText(std::string_view text) { return ShortenText(text, kMaxPageTextChars); }

std::string PageFileEntry(std::string_view entry) { return ShortenPath(entry); }

std::string MoreFilesText(size_t more) { return "and " + std::to_string(more) + " more files"; }

// ---------------------------------------------------------------------------
// The available-updates page

namespace {

// One row of the list page for an entry.
std::string BuildUpdateRow(const UpdateEntry& entry) {
  // The identifier is printed as a signed 32-bit number.
  const std::string id = std::to_string(static_cast<int32_t>(entry.m_nTableID));
  const std::string date = entry.m_dtPostDate.valid ? FormatOleDateLong(entry.m_dtPostDate.value) : std::string();
  return FillTemplate(kListUpdateRowTemplate, {id, PageText(entry.m_strName), date, PageText(entry.m_strDescription)});
}

}  // namespace

std::string ListPage(const UpdateEntryList& list) {
  std::string page = FillTemplate(kListHeaderTemplate, {""});
  if (list.empty()) {
    page += FillTemplate(kListMessageRowTemplate, {kUpToDateText});
  } else {
    for (const auto& entry : list) {
      std::string row = BuildUpdateRow(*entry);
      page += row;
      TraceMessage("strText Written. (Length in param)", static_cast<int64_t>(row.size()));
    }
  }
  page += kListFooter;
  return page;
}

// ---------------------------------------------------------------------------
// The install page

namespace {

using SectionList = std::vector<const UpdateListSection*>;

// The file entries a page still lists: at most kMaxPageFiles in all, the
// rest counted once, in the row where the list stops.
struct PageFiles {
  size_t total = 0;
  size_t listed = 0;
  bool counted = false;
};

// Appends one row of the install page: the title, the description and one
// item per file entry of `sections`, written straight into the page.
void AppendRow(std::string& page, const std::string& name, const std::string& description, const SectionList& sections,
               PageFiles& files) {
  const std::string_view row = kInstallRowTemplate;
  const size_t itemsAt = row.rfind("%s");
  page += FillTemplate(row.substr(0, itemsAt), {PageText(name), PageText(description)});
  for (const UpdateListSection* section : sections) {
    for (const std::string& entry : section->m_fileLines) {
      if (files.listed < kMaxPageFiles) {
        page += FillTemplate(kInstallItemTemplate, {PageFileEntry(entry)});
        ++files.listed;
      } else if (!files.counted) {
        page += FillTemplate(kInstallItemTemplate, {MoreFilesText(files.total - files.listed)});
        files.counted = true;
      }
    }
  }
  page += FillTemplate(row.substr(itemsAt + 2), {});
}

size_t FileCount(const SectionList& sections) {
  size_t n = 0;
  for (const UpdateListSection* section : sections) n += section->m_fileLines.size();
  return n;
}

}  // namespace

std::string InstallPage(const UpdateListFile& listFile, const std::vector<int32_t>& modules) {
  // The main row lists the files of MAIN and of every module without a title
  // or description; each other module has a row of its own.
  const UpdateListSection* main = listFile.FindSection("MAIN");
  SectionList mainGroup;
  if (main != nullptr) mainGroup.push_back(main);
  struct ModuleRow {
    const UpdateListSection* section;
    std::string name, description;
  };
  std::vector<ModuleRow> moduleRows;
  for (int32_t module : modules) {
    const UpdateListSection* section = listFile.FindSection(ModuleSectionName(module));
    if (section == nullptr) continue;
    ModuleRow row{section, section->GetSectionValue("NAME"), section->GetSectionValue("DESCRIPTION")};
    if (!row.name.empty() || !row.description.empty()) {
      moduleRows.push_back(std::move(row));
    } else {
      mainGroup.push_back(section);
    }
  }
  const std::string mainName = main != nullptr ? main->GetSectionValue("NAME") : std::string();
  const std::string mainDescription = main != nullptr ? main->GetSectionValue("DESCRIPTION") : std::string();
  const bool mainItems = std::any_of(mainGroup.begin(), mainGroup.end(),
                                     [](const auto* section) { return !section->m_fileLines.empty(); });
  const bool mainRow = !mainName.empty() || !mainDescription.empty() || mainItems;

  PageFiles files;
  if (mainRow) files.total += FileCount(mainGroup);
  for (const ModuleRow& row : moduleRows) files.total += FileCount({row.section});
  std::string page = kInstallHeader;
  if (mainRow) AppendRow(page, mainName, mainDescription, mainGroup, files);
  for (const ModuleRow& row : moduleRows) AppendRow(page, row.name, row.description, {row.section}, files);
  page += kInstallFooter;
  return page;
}

// ---------------------------------------------------------------------------
// The results page

std::string ResultsPage(const std::vector<std::string>& failed) {
  std::string results = "Following file(s) were not updated:<BR><BR>";
  const size_t listed = std::min(failed.size(), kMaxPageFiles);
  for (size_t i = 0; i < listed; ++i) results += PageFileEntry(failed[i]) + "<BR>";
  if (listed < failed.size()) results += MoreFilesText(failed.size() - listed) + "<BR>";
  results += "<BR><BR><BR>";
  results += "Close all open applications and <a href=\"#install\" > <b> Click here to update the files</b> </a> <br>";
  return FillTemplate(kMessagePageTemplate, {results});
}

}  // namespace quon
