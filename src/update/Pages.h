// The HTML pages of an update run. Templates are the program's own texts
// and are used byte for byte; inserted values are not escaped.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

#include "update/UpdateEntry.h"

namespace quon {

extern const char kPageFileName[];  // "QuonUpdateLast.html"

// The available-updates page.
extern const char kListHeaderTemplate[];   // one %s
extern const char kListUpdateRowTemplate[];  // %i, %s, %s, %s
extern const char kListMessageRowTemplate[];  // one %s
extern const char kListFooter[];
extern const char kUpToDateText[];

// The install page.
extern const char kInstallHeader[];
extern const char kInstallRowTemplate[];   // %s, %s, %s
extern const char kInstallItemTemplate[];  // one %s
extern const char kInstallFooter[];

// The results page.
extern const char kMessagePageTemplate[];  // one %s

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

// Fills a printf-style template: each %s or %i takes the next argument as
// it stands (numbers are formatted by the caller), %% gives %. Arguments
// are never scanned for placeholders themselves.
std::string FillTemplate(std::string_view tmpl, std::initializer_list<std::string_view> args);

// One row of the list page for an entry.
std::string BuildUpdateRow(const UpdateEntry& entry);

}  // namespace quon
