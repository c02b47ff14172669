// What reaches the user of a server's, an archive's or a list file's text:
// its size (boxes, console, log, pages) and the characters that could
// command a terminal.
#include <gtest/gtest.h>

#include <string>

#include "base/DisplayText.h"
#include "base/ProgramText.h"

namespace quon {
namespace {

TEST(DisplayText, LongTextsAreCutBetweenCharactersPathsKeepTheirStartAndEnd) {
  // The 64,001-byte entry of a hostile list file.
  std::string deep;
  while (deep.size() < 63999) deep += "a/";
  deep += "x";
  ASSERT_EQ(deep.size(), 64001u);
  const std::string shown = ShortenPath(deep);
  EXPECT_EQ(shown.size(), kMaxShownPathChars);
  EXPECT_EQ(shown.substr(0, 6), "a/a/a/");
  EXPECT_EQ(shown.substr(shown.size() - 3), "a/x");
  EXPECT_NE(shown.find(kEllipsis), std::string::npos);

  struct Case {
    std::string text;
    size_t max;
    std::string text_shown, path_shown;
    bool utf8 = false;  // a case for a system that reads the text as UTF-8
  } const cases[] = {
      {"short", 10, "short", "short"},
      {"0123456789", 10, "0123456789", "0123456789"},
      {"0123456789A", 10, "0123456...", "0123...89A"},
      // UTF-8 (two bytes a character): never cut inside one.
      {"\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4\xc3\xb6\xc3\xbc", 5, "\xc3\xa4\xc3\xb6...", "\xc3\xa4...\xc3\xbc", true},
      // Not UTF-8: one byte a character (Windows-1252 on Linux).
      {"\xe4\xf6\xfc\xe4\xf6\xfc", 5, "\xe4\xf6...", "\xe4...\xfc"},
  };
  for (const Case& c : cases) {
    if (c.utf8 && !ProgramTextIsUtf8(c.text)) continue;
    EXPECT_EQ(ShortenText(c.text, c.max), c.text_shown) << c.text;
    EXPECT_EQ(ShortenPath(c.text, c.max), c.path_shown) << c.text;
  }
}

TEST(DisplayText, ABoxShowsItsFirstLinesAndCharacters) {
  const std::string sixteen = [] {
    std::string t;
    for (int i = 0; i < 16; ++i) t += "line" + std::to_string(i) + "\r\n";
    return t;
  }();
  EXPECT_EQ(BoundedMessage("Failed to update file:\r\nx.dll"), "Failed to update file:\r\nx.dll");
  EXPECT_EQ(BoundedMessage(sixteen), sixteen);  // sixteen lines, the last one ended
  // Beyond: fifteen lines, and a last one that says more followed.
  std::string shown = BoundedMessage(sixteen + "line16");
  EXPECT_EQ(shown, sixteen.substr(0, sixteen.find("line15") - 2) + "\n...");
  EXPECT_EQ(BoundedMessage(std::string(100000, '\n')), "\n...");
  shown = BoundedMessage(std::string(100000, 'w'));
  EXPECT_EQ(shown, std::string(kMaxShownMessageChars - 3, 'w') + "...");
}

TEST(ProgramText, OnlyStrictUtf8ReadsAsUtf8) {
  const std::pair<const char*, bool> cases[] = {
      {"plain", true},
      {"\xc3\xa4", true},
      {"\xe2\x80\xae", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xe0\x82\x9b", false},  // overlong CSI
      {"\xc0\x9b", false},
      {"\xed\xa0\x80", false},  // a surrogate
      {"\xf4\x90\x80\x80", false},
      {"\xc3", false},
      {"\xe4", false},
  };
  for (const auto& [text, utf8] : cases) EXPECT_EQ(IsStrictUtf8(text), utf8) << text;
}

// Item 7 of issue 21.
TEST(ProgramText, WhatCouldCommandATerminalIsReplaced) {
  const std::pair<std::string, std::string> cases[] = {
      {"tab\tand\nline", "tab\tand\nline"},
      {"\x1b[2J\r\x07\x7f", "?[2J???"},
      // UTF-8: C1 controls, bidirectional controls, line and paragraph
      // separators; other characters stay.
      {"\xc2\x9b"
       "2J\xc2\x9d"
       "0;x",
       "?2J?0;x"},
      {"a\xe2\x80\xae"
       "b\xe2\x81\xa6"
       "c\xe2\x80\x8f"
       "d\xd8\x9c"
       "e",
       "a?b?c?d?e"},
      {"\xe2\x80\xa8\xe2\x80\xa9", "??"},
      {"\xc3\xa4\xe2\x82\xac", "\xc3\xa4\xe2\x82\xac"},
      // Not strictly UTF-8: Windows-1252, whose undefined bytes are C1
      // controls; an overlong form is never read as the character it forms.
      {"\xe0\x82\x9b", "\xc3\xa0\xe2\x80\x9a\xe2\x80\xba"},
      {"\x81\x8d\x8f\x90\x9d", "?????"},
      {"caf\xe9 \x80", "caf\xc3\xa9 \xe2\x82\xac"},
  };
  for (const auto& [text, safe] : cases) EXPECT_EQ(SafeUtf8Text(text), safe) << text;
}

}  // namespace
}  // namespace quon
