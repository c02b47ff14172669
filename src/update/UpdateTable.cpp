#include "update/UpdateTable.h"

#include <algorithm>
#include <string_view>

#include "base/CText.h"

namespace quon {

void SetIdentityFields(FieldMap& fields, const InstallationIdentity& identity, const std::string& updateVersion) {
  fields.Set("KeyID", std::to_string(identity.id));
  fields.Set("KeyType", identity.type);
  fields.Set("KeyVersion", identity.version);
  fields.Set("updateversion", updateVersion);
}

namespace {

// The cells of the reply's table, found by walking the text forwards
// without copying any: a table of millions of empty cells costs nothing
// until its rows are read. Cells are those SplitFields would give (no piece
// after a trailing ";"). Reads go forwards, or back by at most three cells
// (rows that share cells); the last four cells walked are remembered for
// that.
class TableCells {
 public:
  explicit TableCells(std::string_view table)
      : m_table(table),
        m_count(table.empty() ? 0
                              : static_cast<int64_t>(std::count(table.begin(), table.end(), ';')) +
                                    (table.back() == ';' ? 0 : 1)) {}

  int64_t Count() const { return m_count; }

  // The cell at `index`; empty when there is none.
  std::string_view At(int64_t index) {
    if (index < 0 || index >= m_count) return {};
    for (const Seen& seen : m_seen) {
      if (seen.index == index) return seen.text;
    }
    while (m_next <= index) {
      const size_t end = std::min(m_table.find(';', m_pos), m_table.size());
      m_seen[static_cast<size_t>(m_next % 4)] = Seen{m_next, m_table.substr(m_pos, end - m_pos)};
      m_pos = end + 1;
      ++m_next;
    }
    return m_seen[static_cast<size_t>(index % 4)].text;
  }

 private:
  struct Seen {
    int64_t index = -1;
    std::string_view text;
  };
  std::string_view m_table;
  int64_t m_count;
  int64_t m_next = 0;  // index of the cell that starts at m_pos
  size_t m_pos = 0;
  Seen m_seen[4];
};

}  // namespace

size_t ReadUpdateTable(const FieldMap& reply, UpdateEntryList& list) {
  list.clear();
  const std::string* rowsText = reply.Find("rows");
  if (rowsText == nullptr) return 0;
  const int32_t rows = CAtoi(*rowsText);
  if (rows <= 0) return 0;
  const int32_t cols = CAtoi(reply.Get("cols"));

  const std::string* table = reply.Find("dbdata");
  TableCells cells(table ? std::string_view(*table) : std::string_view());
  // A row is read only when its first cell exists; cells missing at the end
  // of the last row read as empty text (a trailing empty description loses
  // its ";"). Rows starting beyond the cells are dropped, so a huge "rows"
  // with a short table cannot make the list grow. Rows that share cells (a
  // "cols" below 4) stop once the entries would hold more text than the
  // table and a little more, so that memory stays in proportion to the
  // reply however the cells repeat.
  const size_t textBudget = (table ? table->size() : 0) + kUpdateTableTextSlack;
  size_t text = 0;
  const int64_t cellCount = cells.Count();
  for (int64_t r = 0; r < rows && r < cellCount && r < static_cast<int64_t>(kMaxUpdateRows); ++r) {
    const int64_t base = r * cols;
    if (base < 0 || base >= cellCount) break;
    const std::string_view id = cells.At(base + 0), posted = cells.At(base + 1);
    const std::string_view name = cells.At(base + 2), description = cells.At(base + 3);
    text += name.size() + description.size();
    if (text > textBudget) break;
    list.push_back(std::make_unique<UpdateEntry>(CStrtoul(id), OleDateTime{CAtof(posted), true}, std::string(name),
                                                 std::string(description)));
  }
  return list.size();
}

}  // namespace quon
