// Windows: what reaches the console from the program's text in the ANSI
// code page. Windows-1252's undefined bytes convert to C1 controls, which
// must not reach the console.
#include <gtest/gtest.h>
#include <windows.h>

#include "base/ProgramText.h"

namespace quon {
namespace {

// Item 7 of issue 21.
TEST(ProgramText, TheConsoleGetsNoControlsFromTheCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
  const struct {
    std::string text;
    std::wstring console;
    std::string file;
  } cases[] = {
      {"\x81\x8d\x8f\x90\x9d", L"?????", "?????"},
      {"\x1b[2J\r\x07", L"?[2J??", "?[2J??"},
      {"caf\xe9 \x80\x85\tend\n", L"caf\u00e9 \u20ac\u2026\tend\n", "caf\xe9 \x80\x85\tend\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TerminalWideText(c.text), c.console) << c.text;
    EXPECT_EQ(TerminalText(c.text), c.file) << c.text;
  }
}

}  // namespace
}  // namespace quon
