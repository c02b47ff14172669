// What an installation remembers of the archives it accepted: the state
// file's text, read back as written, what cannot be read told and left out.
#include <gtest/gtest.h>

#include "update/UpdateState.h"

namespace quon {
namespace {

const std::string kA(64, 'a');
const std::string kB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(UpdateState, TextIsReadAsWrittenAndBadLinesAreLeftOut) {
  const struct {
    const char* what;
    std::string text;
    bool seen;
    std::vector<uint16_t> highest;
    std::vector<std::string> revoked;
    size_t notes;
  } cases[] = {
      {"empty", "", false, {0, 0, 0, 0}, {}, 0},
      {"both",
       "release-file = 6.0.122.3\nrevoked = " + kA + "\r\nREVOKED=" + kB + "\n",
       true,
       {6, 0, 122, 3},
       {kA, kB},
       0},
      {"written forms", "revoked = " + std::string(64, 'A') + "\n# a comment\n  \n", false, {0, 0, 0, 0}, {kA}, 0},
      {"the same twice", "revoked = " + kA + "\nrevoked = " + kA + "\n", false, {0, 0, 0, 0}, {kA}, 0},
      {"bad lines, the rest applies",
       "revoked = abc\nrelease-file = 6.0\ngarbage\nrevoked = " + kB + "\n",
       false,
       {0, 0, 0, 0},
       {kB},
       3},
      {"a second version is no line of ours",
       "release-file = 6.0.122.3\nrelease-file = 9.0.0.0\n",
       true,
       {6, 0, 122, 3},
       {},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> notes;
    const UpdateState state = ParseStateText(c.text, "state", notes);
    EXPECT_EQ(state.releaseFileSeen, c.seen);
    EXPECT_EQ(std::vector<uint16_t>(state.highestBrought, state.highestBrought + 4), c.highest);
    EXPECT_EQ(state.revoked, c.revoked);
    EXPECT_EQ(notes.size(), c.notes) << ::testing::PrintToString(notes);
    // Written and read again: the same.
    std::vector<std::string> again;
    const UpdateState reread = ParseStateText(FormatStateText(state), "state", again);
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(reread.revoked, state.revoked);
    EXPECT_EQ(reread.releaseFileSeen, state.releaseFileSeen);
  }
}

TEST(UpdateState, NothingIsForgottenAndTheHighestVersionStays) {
  std::vector<std::string> notes;
  UpdateState state = ParseStateText("future-key = kept\n", "state", notes);
  const uint16_t v122[4] = {6, 0, 122, 3}, v121[4] = {6, 0, 121, 3};
  EXPECT_TRUE(state.Remember(v122, {kA}));
  EXPECT_TRUE(state.Remember(v121, {kB}));
  EXPECT_FALSE(state.Remember(v121, {kA, kB}));
  EXPECT_EQ(std::vector<uint16_t>(state.highestBrought, state.highestBrought + 4),
            (std::vector<uint16_t>{6, 0, 122, 3}));
  EXPECT_EQ(state.revoked, (std::vector<std::string>{kA, kB}));
  // A newer updater's line survives an older one's rewrite.
  EXPECT_NE(FormatStateText(state).find("future-key = kept\n"), std::string::npos);
}

}  // namespace
}  // namespace quon
