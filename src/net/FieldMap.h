// Request and reply records: named text fields and their text form
// ("name=value&name=value", each side percent-escaped).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/BuildConfig.h"

namespace quon {

class FieldMap {
 public:
  void Set(std::string name, std::string value) { m_fields[std::move(name)] = std::move(value); }
  // Null when absent, so that an absent field differs from an empty one.
  const std::string* Find(std::string_view name) const;
  // The value, or an empty text when absent.
  std::string Get(std::string_view name) const;
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  void Remove(std::string_view name);
  void Clear() { m_fields.clear(); }
  bool Empty() const { return m_fields.empty(); }
  size_t Size() const { return m_fields.size(); }

  using Map = std::unordered_map<std::string, std::string>;
  Map::const_iterator begin() const { return m_fields.begin(); }
  Map::const_iterator end() const { return m_fields.end(); }

 private:
  Map m_fields;
};

// The fields text of the map, scrambled when asked.
std::string EncodeFields(const FieldMap& fields, bool scramble, std::string_view key = ScrambleKey());
// Most fields a decoded text gives: a reply carries fewer than ten.
constexpr size_t kMaxReplyFields = 64;

// Empties the map and fills it from a fields text (unscrambled first when
// asked). Never fails; malformed text yields odd fields. Text ends at its
// first NUL byte, as all reply text does. At most kMaxReplyFields names are
// kept, the first ones in the text.
bool DecodeFields(std::string_view text, FieldMap& fields, bool unscramble,
                  std::string_view key = ScrambleKey());

// Splits text at any of the separator characters. An empty text gives no
// piece; a trailing separator gives no empty piece after it.
size_t SplitFields(std::string_view text, std::vector<std::string>& pieces, std::string_view separators);

// A growable block of bytes. It keeps no length: its user counts the valid
// bytes itself.
class ReplyBuffer {
 public:
  ReplyBuffer() = default;
  explicit ReplyBuffer(int32_t capacity);
  virtual ~ReplyBuffer();
  ReplyBuffer(const ReplyBuffer&) = delete;
  ReplyBuffer& operator=(const ReplyBuffer&) = delete;

  // Makes the capacity at least n (exactly n when it grows), keeping the old
  // bytes; returns the data.
  char* Reserve(int32_t n);
  char* Data() const { return m_data; }
  int32_t Capacity() const { return m_capacity; }

 private:
  int32_t m_capacity = 0;
  char* m_data = nullptr;
};

}  // namespace quon
