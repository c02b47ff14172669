// The state file on Linux: written whole, read back, and not applied when
// another user could change it or its folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.h"
#include "update/UpdateState.h"

namespace quon {
namespace {

TEST(UpdateStateFile, WrittenReadAndRefusedWhenOthersMayChangeIt) {
  test::TempDir dir;
  const std::string path = dir.Path("quon/QuonUpdate.state");
  const std::string fingerprint(64, 'c');
  UpdateState state;
  const uint16_t brought[4] = {6, 0, 122, 3};
  state.Remember(brought, {fingerprint});
  std::string why;
  ASSERT_TRUE(WriteUpdateState(path, state, why)) << why;  // the folder is made
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  const struct {
    const char* what;
    const char* target;  // made writable by others, relative to the temporary folder
    bool applied;
    bool noted;
  } cases[] = {
      {"protected", nullptr, true, false},
      {"a file others may write", "quon/QuonUpdate.state", false, true},
      {"a folder others may write", "quon", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.target) {
      ASSERT_EQ(chmod(dir.Path(c.target).c_str(), 0777), 0);
    }
    const StateReading reading = ReadUpdateState(path);
    EXPECT_TRUE(reading.found);
    EXPECT_EQ(reading.state.revoked, c.applied ? std::vector<std::string>{fingerprint} : std::vector<std::string>{});
    EXPECT_EQ(reading.state.releaseFileSeen, c.applied);
    EXPECT_EQ(!reading.notes.empty(), c.noted) << ::testing::PrintToString(reading.notes);
  }
  // Nothing is written into a folder others may change.
  EXPECT_FALSE(WriteUpdateState(path, state, why));
  EXPECT_NE(why.find("other users"), std::string::npos) << why;

  const StateReading missing = ReadUpdateState(dir.Path("none/QuonUpdate.state"));
  EXPECT_FALSE(missing.found);
  EXPECT_TRUE(missing.notes.empty());
}

}  // namespace
}  // namespace quon
