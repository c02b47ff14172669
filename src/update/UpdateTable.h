// The GetUpgradeList request and the reading of its reply table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/FieldMap.h"
#include "update/UpdateEntry.h"

namespace quon {

// The three values that identify the installation to the update server.
struct InstallationIdentity {
  uint32_t id = 0;        // KeyID
  std::string type;       // KeyType
  std::string version;    // KeyVersion
};

// Request fields common to GetUpgradeList and GetUpgradeFile, in the order
// they are set: KeyID, KeyType, KeyVersion, updateversion.
void SetIdentityFields(FieldMap& fields, const InstallationIdentity& identity, const std::string& updateVersion);

// Most rows of a reply table that become entries; further rows are dropped.
// A server offers a handful of updates; each row is a row of the list page
// and a line of --list, so that the page stays small whatever the reply.
constexpr size_t kMaxUpdateRows = 200;
// Text the entries may hold beyond the size of the table itself.
constexpr size_t kUpdateTableTextSlack = 64 * 1024;

// Empties `list` and fills it from the reply fields "rows", "cols" and
// "dbdata", one entry per row in the table's order. Cells are read at
// r * cols + 0..3. A short or absent "dbdata" never reads beyond its cells:
// rows whose first cell is missing are dropped (the table is cut short),
// and the missing last cells of the final row read as empty text. At most
// kMaxUpdateRows rows are read, and rows that share cells stop once the
// names and descriptions would exceed the table's size plus
// kUpdateTableTextSlack. Returns the number of entries.
size_t ReadUpdateTable(const FieldMap& reply, UpdateEntryList& list);

}  // namespace quon
