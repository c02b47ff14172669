#include "net/FieldMap.h"

#include <cstring>
#include <new>

#include "net/PayloadCodec.h"

namespace quon {

const std::string* FieldMap::Find(std::string_view name) const {
  auto it = m_fields.find(std::string(name));
  return it == m_fields.end() ? nullptr : &it->second;
}

std::string FieldMap::Get(std::string_view name) const {
  const std::string* value = Find(name);
  return value ? *value : std::string();
}

void FieldMap::Remove(std::string_view name) { m_fields.erase(std::string(name)); }

std::string EncodeFields(const FieldMap& fields, bool scramble, std::string_view key) {
  std::string text;
  bool first = true;
  for (const auto& [name, value] : fields) {
    if (!first) text += '&';
    first = false;
    text += PercentEncode(name);
    text += '=';
    text += PercentEncode(value);
  }
  return scramble ? ScrambleText(text, key) : text;
}

namespace {

// Names longer than this (as they travel, escaped) never occur in the
// protocol; such a pair is dropped whole rather than cut, so it cannot pose
// as another field.
constexpr size_t kMaxFieldNameLength = 255;

std::string_view UpToNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// `piece` without `drop` characters, in a string of exactly that size.
std::string Without(std::string_view piece, std::string_view drop) {
  size_t kept = 0;
  for (char c : piece) kept += drop.find(c) == std::string_view::npos;
  std::string out;
  out.reserve(kept);
  for (char c : piece) {
    if (drop.find(c) == std::string_view::npos) out += c;
  }
  return out;
}

}  // namespace

bool DecodeFields(std::string_view text, FieldMap& fields, bool unscramble, std::string_view key) {
  fields.Clear();
  std::string unscrambled;
  text = UpToNul(text);
  if (unscramble) {
    unscrambled = UnscrambleText(text, key);
    text = UpToNul(unscrambled);
  }
  // Pair by pair: the name up to the first '=', the value after it. Line
  // breaks are dropped wherever they stand, and so is every further '='
  // of the pair. Each value is made once at its final size: a reply of
  // megabytes costs its own size, not twice that.
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view pair = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = pair.find('=');
    std::string name = Without(pair.substr(0, equals), "\r\n");
    if (name.empty() || name.size() > kMaxFieldNameLength) continue;
    // A reply holds a handful of fields; one of thousands of names holds
    // thousands of map entries. Beyond the bound new names are dropped
    // (a name already there still takes its later value).
    if (fields.Size() >= kMaxReplyFields && !fields.Has(name)) continue;
    std::string value = equals == std::string_view::npos ? std::string() : Without(pair.substr(equals + 1), "\r\n=");
    name.resize(PercentDecode(name.data(), name.size()));
    value.resize(PercentDecode(value.data(), value.size()));
    fields.Set(std::move(name), std::move(value));
  }
  return true;
}

size_t SplitFields(std::string_view text, std::vector<std::string>& pieces, std::string_view separators) {
  pieces.clear();
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const size_t start = i;
    while (i < n && separators.find(text[i]) == std::string_view::npos) ++i;
    pieces.emplace_back(text.substr(start, i - start));
    ++i;
  }
  return pieces.size();
}

ReplyBuffer::ReplyBuffer(int32_t capacity) { Reserve(capacity); }

ReplyBuffer::~ReplyBuffer() { delete[] m_data; }

char* ReplyBuffer::Reserve(int32_t n) {
  if (n <= m_capacity) return m_data;
  char* block = new char[static_cast<size_t>(n)];
  if (m_data) std::memcpy(block, m_data, static_cast<size_t>(m_capacity));
  delete[] m_data;
  m_data = block;
  m_capacity = n;
  return m_data;
}

}  // namespace quon
