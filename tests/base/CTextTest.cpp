// Numbers as the server and the files write them, read as the C library
// reads them, and pieces of text: case, trimming, lines.
#include <gtest/gtest.h>

#include <cmath>
#include <string_view>
#include <vector>

#include "base/CText.h"

namespace quon {
namespace {

TEST(CNumbers, AtoiReadsLeadingDecimalLikeTheCLibrary) {
  const std::pair<const char*, int32_t> cases[] = {
      {"12", 12}, {"  \t-3x", -3}, {"+7", 7}, {"12abc", 12}, {"abc", 0}, {"", 0}, {"- 3", 0},
      {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1}};
  for (const auto& [text, value] : cases) EXPECT_EQ(CAtoi(text), value) << text;
}

TEST(CNumbers, StrtoulWrapsNegativesAndSaturatesLargeValues) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"12", 12u}, {"abc", 0u}, {" 4294967295", 4294967295u}, {"4294967296", 4294967295u},
      {"123456789012345678901234", 4294967295u}, {"-1", 4294967295u}, {"3000000000", 3000000000u}};
  for (const auto& [text, value] : cases) EXPECT_EQ(CStrtoul(text), value) << text;
}

TEST(CNumbers, AtofReadsDecimalOnlyIgnoresTheProcessLocaleAndStopsAtJunk) {
  const std::pair<const char*, double> cases[] = {
      {"38412", 38412.0}, {" 38500.25xyz", 38500.25}, {"-1.5e2", -150.0}, {".5", 0.5},
      {"1,5", 1.0},       {"xyz", 0.0},               {"", 0.0},
      // Hexadecimal stops at the x; inf and nan are no number.
      {"0x10", 0.0},      {"0x9600", 0.0},            {"inf", 0.0},       {"-INFINITY", 0.0},
      {"nan", 0.0},       {" NaN(1)", 0.0}};
  for (const auto& [text, value] : cases) EXPECT_DOUBLE_EQ(CAtof(text), value) << text;
  EXPECT_TRUE(std::isinf(CAtof("1e999")));
}

TEST(CText, MidPieceClampsLikeTheSessionsStrings) {
  EXPECT_EQ(MidPiece("6.0.3.121", -1, 2), "6.");
  EXPECT_EQ(MidPiece("6.0.3.121", 2, -1), "");
  EXPECT_EQ(MidPiece("6.0.3.121", 20, 2), "");
  EXPECT_EQ(MidPiece("6.0.3.121", 6), "121");
  EXPECT_EQ(MidPiece("6.0.3.121", 6, 100), "121");
}

TEST(CText, TrimTakesOnlyTheGivenCharactersOffTheEnds) {
  struct Case {
    std::string_view text, chars, left, right, both;
  } const cases[] = {
      {" \t\v\fa b\r\n", kCSpaces, "a b\r\n", " \t\v\fa b", "a b"},
      {"\va \v", " \t\r\n", "\va \v", "\va \v", "\va \v"},  // the list file's blanks
      {" \r\n ", kCSpaces, "", "", ""},
      {"", kCSpaces, "", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimLeft(c.text, c.chars), c.left) << c.text;
    EXPECT_EQ(TrimRight(c.text, c.chars), c.right) << c.text;
    EXPECT_EQ(Trim(c.text, c.chars), c.both) << c.text;
  }
  // Blanks and tabs at both ends, and the CR of CR LF at the end only.
  const std::pair<std::string_view, std::string_view> blanks[] = {
      {"\t key = v \r", "key = v"}, {"\rx\r", "\rx"}, {" \v\n", "\v\n"}};
  for (const auto& [text, trimmed] : blanks) EXPECT_EQ(TrimBlanks(text), trimmed) << text;
}

TEST(CText, CaseChangesOnlyAsciiLetters) {
  EXPECT_EQ(AsciiUpper("QuON.exe-\xE4\xC4"), "QUON.EXE-\xE4\xC4");
  EXPECT_EQ(AsciiLower("QuON.exe-\xE4\xC4"), "quon.exe-\xE4\xC4");
}

TEST(CText, NextLineSplitsAtLineFeedsWithoutAnEmptyLastLine) {
  const std::pair<std::string_view, std::vector<std::string_view>> cases[] = {
      {"", {}}, {"a", {"a"}}, {"a\n", {"a"}}, {"a\r\n\nb", {"a\r", "", "b"}}, {"\n\n", {"", ""}}};
  for (const auto& [text, expected] : cases) {
    std::vector<std::string_view> lines;
    for (std::string_view rest = text, line; NextLine(rest, line);) lines.push_back(line);
    EXPECT_EQ(lines, expected) << text;
  }
}

}  // namespace
}  // namespace quon
