// Bounds of text that comes from a server, an archive or a list file on its
// way to the user: a message box, the console, the log, the trace. Such a
// text can be megabytes long or one line per byte; what is shown of it is
// cut to a fixed size, the same on every platform, always between
// characters of the program's text (ProgramText.h).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace quon {

// The longest path shown: a longer one keeps its start and its end with
// kEllipsis between, so that both its folder and its file name show.
constexpr size_t kMaxShownPathChars = 160;
// The most of a message that a box (or the console, for a box) shows: its
// first lines, at most this many characters in all.
constexpr size_t kMaxShownMessageChars = 1000;
constexpr size_t kMaxShownMessageLines = 16;
// The longest line written to the console, the log or the trace.
constexpr size_t kMaxShownLineChars = 2000;
// What stands for the part left out.
constexpr char kEllipsis[] = "...";

// `text` when it has at most `max` characters; otherwise its first
// characters and kEllipsis, `max` characters in all.
std::string ShortenText(std::string_view text, size_t max);
// `path` when it has at most `max` characters; otherwise its start,
// kEllipsis and its end, `max` characters in all.
std::string ShortenPath(std::string_view path, size_t max = kMaxShownPathChars);
// A message as a box shows it: at most kMaxShownMessageLines lines (a CR LF
// pair, a CR or a LF ends one) and kMaxShownMessageChars characters, with
// kEllipsis where something was left out.
std::string BoundedMessage(std::string_view text);

}  // namespace quon
