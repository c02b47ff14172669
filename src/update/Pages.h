// The HTML pages of an update run: the list of available updates, the
// install page and the results page, each made here as a whole text that
// the session writes to the page file. Templates are the program's own
// texts and are used byte for byte; inserted values are not escaped.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/UpdateEntry.h"
#include "update/UpdateListFile.h"

namespace quon {

extern const char kPageFileName[];  // "QuonUpdateLast.html"

// The list page's message when the server offers no update.
extern const char kUpToDateText[];

// What a page shows of texts from the server and the list file, so that the
// page stays small whatever they hold: a name, a description or a title at
// most kMaxPageTextChars characters, a file entry at most
// kMaxShownPathChars (its start and end kept), and at most kMaxPageFiles
// file entries, the rest counted by one line (MoreFilesText). Ordinary
// updates are far within these bounds, and their pages are unchanged.
constexpr size_t kMaxPageTextChars = 1000;
constexpr size_t kMaxPageFiles = 500;
// A name, description or title as a page shows it.
std::string PageText(std::string_view text);
// A file entry as a page shows it.
std::string PageFileEntry(std::string_view entry);
// "and 12 more files": the line after the kMaxPageFiles entries shown.
std::string MoreFilesText(size_t more);

// The available-updates page: one row for each entry, in list order, or the
// up-to-date message when the list is empty. Each row is traced with its
// length as it is made.
std::string ListPage(const UpdateEntryList& list);

// The install page for an installation with these module numbers: a row
// for MAIN, holding also the files of every module section without a title
// or description, then a row for each other module section, then the
// install link.
std::string InstallPage(const UpdateListFile& listFile, const std::vector<int32_t>& modules);

// The results page of an installation that left the files `failed` (in the
// order they failed) not updated, with the link that tries again.
std::string ResultsPage(const std::vector<std::string>& failed);

}  // namespace quon
