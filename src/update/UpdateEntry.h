// One update that the server offers, and the ordered list that owns them.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quon {

// An OLE Automation date: days since midnight of December 30, 1899, with
// the time of day as the fraction, and a validity status.
struct OleDateTime {
  double value = 0.0;
  bool valid = false;
};

class UpdateEntry {
 public:
  UpdateEntry(uint32_t tableId, OleDateTime postDate, std::string name, std::string description)
      : m_strName(std::move(name)),
        m_strDescription(std::move(description)),
        m_nTableID(tableId),
        m_dtPostDate(postDate) {}
  virtual ~UpdateEntry() = default;

  const std::string m_strName;
  const std::string m_strDescription;
  const uint32_t m_nTableID;
  const OleDateTime m_dtPostDate;
};

// In the server's order; owns its entries.
using UpdateEntryList = std::vector<std::unique_ptr<UpdateEntry>>;

}  // namespace quon
