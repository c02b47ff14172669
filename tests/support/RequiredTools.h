#pragma once
// A test that needs a program of the test packages (tinyproxy, PostgreSQL,
// nginx, Wine's own files) is skipped, saying why, where that program is
// missing; scripts/test installs every package and sets
// QUON_TEST_REQUIRE_TOOLS, and there the same test fails instead, so that a
// package dropped from the list cannot silence a stage of CI.
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace quon::test {
inline bool ToolsRequired() {
  const char* value = std::getenv("QUON_TEST_REQUIRE_TOOLS");
  return value && *value && std::strcmp(value, "0") != 0;
}
}  // namespace quon::test

#define QUON_SKIP_WITHOUT_TOOL(why)   \
  do {                                \
    if (::quon::test::ToolsRequired()) \
      FAIL() << (why);                \
    else                              \
      GTEST_SKIP() << (why);          \
  } while (0)
