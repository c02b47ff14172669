#include "base/DisplayText.h"

#include <vector>

#include "base/ProgramText.h"

namespace quon {

namespace {

constexpr size_t kEllipsisChars = sizeof kEllipsis - 1;

// The byte offset after the first `count` characters of `text`.
size_t PrefixBytes(std::string_view text, size_t count, bool utf8) {
  size_t at = 0;
  for (size_t k = 0; k < count && at < text.size(); ++k) at += CharacterLength(text, at, utf8);
  return at;
}

}  // namespace

std::string ShortenText(std::string_view text, size_t max) {
  const bool utf8 = ProgramTextIsUtf8(text);
  if (PrefixBytes(text, max, utf8) == text.size()) return std::string(text);
  const size_t keep = max > kEllipsisChars ? max - kEllipsisChars : 0;
  return std::string(text.substr(0, PrefixBytes(text, keep, utf8))) + kEllipsis;
}

std::string ShortenPath(std::string_view path, size_t max) {
  const bool utf8 = ProgramTextIsUtf8(path);
  // The start of every character up to the end: a path is short next to
  // what it may hold, and a double-byte character is read from its start.
  std::vector<size_t> starts;
  for (size_t at = 0; at < path.size(); at += CharacterLength(path, at, utf8)) starts.push_back(at);
  if (starts.size() <= max) return std::string(path);
  const size_t keep = max > kEllipsisChars ? max - kEllipsisChars : 0;
  const size_t tail = keep / 2, head = keep - tail;
  const size_t headEnd = starts[head];
  const size_t tailStart = tail == 0 ? path.size() : starts[starts.size() - tail];
  return std::string(path.substr(0, headEnd)) + kEllipsis + std::string(path.substr(tailStart));
}

std::string BoundedMessage(std::string_view text) {
  // Past the first kMaxShownMessageLines - 1 lines; a text that ends within
  // one more line is shown whole, up to its characters' bound.
  size_t at = 0;  // where the current line starts
  for (size_t line = 0;; ++line) {
    const size_t lineEnd = text.find_first_of("\r\n", at);
    if (lineEnd == std::string_view::npos) return ShortenText(text, kMaxShownMessageChars);
    const size_t next = lineEnd + (text.compare(lineEnd, 2, "\r\n") == 0 ? 2 : 1);
    if (next == text.size()) return ShortenText(text, kMaxShownMessageChars);
    if (line + 1 == kMaxShownMessageLines) break;
    at = next;
  }
  // The lines before the last one allowed, and a last line saying that
  // more followed.
  std::string_view kept = text.substr(0, at);
  while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r')) kept.remove_suffix(1);
  return ShortenText(kept, kMaxShownMessageChars - kEllipsisChars - 1) + "\n" + kEllipsis;
}

}  // namespace quon
