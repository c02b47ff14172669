#include "update/UpdateTable.h"

#include <string_view>
#include <vector>

#include "update/CText.h"

namespace quon {

void SetIdentityFields(FieldMap& fields, const InstallationIdentity& identity, const std::string& updateVersion) {
  fields.Set("KeyID", std::to_string(identity.id));
  fields.Set("KeyType", identity.type);
  fields.Set("KeyVersion", identity.version);
  fields.Set("updateversion", updateVersion);
}

size_t ReadUpdateTable(const FieldMap& reply, UpdateEntryList& list) {
  list.clear();
  const std::string* rowsText = reply.Find("rows");
  if (rowsText == nullptr) return 0;
  const int32_t rows = CAtoi(*rowsText);
  if (rows <= 0) return 0;
  const int32_t cols = CAtoi(reply.Get("cols"));

  std::vector<std::string> cells;
  SplitFields(reply.Get("dbdata"), cells, ";");
  // A row is read only when its first cell exists; cells missing at the end
  // of the last row read as empty text (a trailing empty description loses
  // its ";"). Rows starting beyond the cells are dropped, so a huge "rows"
  // with a short table cannot make the list grow without bound.
  static const std::string kEmpty;
  auto cell = [&cells](int64_t index) -> const std::string& {
    if (index < 0 || index >= static_cast<int64_t>(cells.size())) return kEmpty;
    return cells[static_cast<size_t>(index)];
  };

  const int64_t cellCount = static_cast<int64_t>(cells.size());
  for (int64_t r = 0; r < rows && r < cellCount; ++r) {
    const int64_t base = r * cols;
    if (base < 0 || base >= cellCount) break;
    OleDateTime posted{CAtof(cell(base + 1)), true};
    list.push_back(std::make_unique<UpdateEntry>(CStrtoul(cell(base + 0)), posted, cell(base + 2), cell(base + 3)));
  }
  return list.size();
}

}  // namespace quon
