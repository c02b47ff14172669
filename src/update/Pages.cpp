#include "update/Pages.h"

#include "base/DisplayText.h"
#include "update/OleDate.h"

namespace quon {

const char kPageFileName[] = "QuonUpdateLast.html";

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

const char kUpToDateText[] =
    "Your version of QUON is up-to-date. There are no updates available at this time.";

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

const char kMessagePageTemplate[] =
    "<HTML>\n<TITLE>Quon Update</TITLE>\n<BODY bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"blue\" "
    "vlink=\"#2f0f60\" alink=\"#2f0f60\" topmargin=\"5\" leftmargin=\"0\" style=\"MARGIN-LEFT: 0px; "
    "MARGIN-TOP: 5px\" marginwidth=\"0\" marginheight=\"0\">\n <CENTER>\n<br><br><br><br>\n<font "
    "face=\"Times New Roman, Times, serif\" size=\"2\">\n%s\n</font>\n</CENTER>\n</BODY>\n</HTML>\n";

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

std::string PageText(std::string_view text) { return ShortenText(text, kMaxPageTextChars); }

std::string PageFileEntry(std::string_view entry) { return ShortenPath(entry); }

std::string MoreFilesText(size_t more) { return "and " + std::to_string(more) + " more files"; }

std::string BuildUpdateRow(const UpdateEntry& entry) {
  // The identifier is printed as a signed 32-bit number.
  const std::string id = std::to_string(static_cast<int32_t>(entry.m_nTableID));
  const std::string date = entry.m_dtPostDate.valid ? FormatOleDateLong(entry.m_dtPostDate.value) : std::string();
  return FillTemplate(kListUpdateRowTemplate, {id, PageText(entry.m_strName), date, PageText(entry.m_strDescription)});
}

}  // namespace quon
