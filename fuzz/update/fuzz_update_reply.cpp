// Reply fields of any shape read as the update table and written as list
// page rows; the same bytes as a product version text, a reply version and
// an installation file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/CText.h"
#include "net/FieldMap.h"
#include "update/InstallationFile.h"
#include "update/OleDate.h"
#include "update/Pages.h"
#include "update/ProductDiscovery.h"
#include "update/RunFiles.h"
#include "update/UpdateTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  quon::FieldMap reply;
  quon::DecodeFields(text, reply, false);
  quon::UpdateEntryList list;
  quon::ReadUpdateTable(reply, list);
  // Rows start within the table's cells, so there are never more of them,
  // nor more than the list holds, nor more text than the table and a little.
  std::vector<std::string> cells;
  if (list.size() > quon::SplitFields(reply.Get("dbdata"), cells, ";")) __builtin_trap();
  if (list.size() > quon::kMaxUpdateRows) __builtin_trap();
  size_t entryText = 0;
  for (const auto& entry : list) entryText += entry->m_strName.size() + entry->m_strDescription.size();
  if (entryText > reply.Get("dbdata").size() + quon::kUpdateTableTextSlack) __builtin_trap();
  // Each row holds the cells at r * cols + 0..3 of the split table.
  const int64_t cols = quon::CAtoi(reply.Get("cols"));
  auto cell = [&cells](int64_t i) {
    return i >= 0 && i < static_cast<int64_t>(cells.size()) ? cells[static_cast<size_t>(i)] : std::string();
  };
  for (size_t r = 0; r < list.size(); ++r) {
    const int64_t base = static_cast<int64_t>(r) * cols;
    if (list[r]->m_nTableID != quon::CStrtoul(cell(base)) || list[r]->m_strName != cell(base + 2) ||
        list[r]->m_strDescription != cell(base + 3))
      __builtin_trap();
  }
  quon::ListPage(list);

  quon::ParseProductVersionText(text);
  uint16_t words[4];
  quon::ParseVersionWords(text, words);
  quon::ParseInstallationText(text);
  if (size >= sizeof(double)) {
    double value;
    __builtin_memcpy(&value, data, sizeof value);
    quon::FormatOleDateLong(value);
  }
  return 0;
}
