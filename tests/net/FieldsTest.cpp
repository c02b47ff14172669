#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/FieldMap.h"
#include "net/PayloadCodec.h"

namespace quon {
namespace {

FieldMap Decoded(std::string_view text, bool unscramble = false) {
  FieldMap map;
  EXPECT_TRUE(DecodeFields(text, map, unscramble));
  return map;
}

TEST(EncodeFields, JoinsEscapedPairsWithoutLeadingOrTrailingSeparator) {
  FieldMap map;
  EXPECT_EQ(EncodeFields(map, false), "");
  EXPECT_EQ(EncodeFields(map, true), "");
  map.Set("code", "4711");
  map.Set("VI", "2");
  const std::string text = EncodeFields(map, false);
  EXPECT_TRUE(text == "code=4711&VI=2" || text == "VI=2&code=4711") << text;

  FieldMap version;
  version.Set("updateversion", "7.0.1.2");
  EXPECT_EQ(EncodeFields(version, false), "updateversion=7%2E0%2E1%2E2");
  version.Set("updateversion", "6.0.121.3");  // setting again replaces
  EXPECT_EQ(EncodeFields(version, false), "updateversion=6%2E0%2E121%2E3");
}

TEST(EncodeFields, ScrambledTextDecodesToTheSameFields) {
  FieldMap map;
  map.Set("KeyType", "Pro & Co = 100%");
  map.Set("empty", "");
  map.Set("bytes", std::string("\x00\x80\xFF\r\n", 5));
  CrtSeed(42);
  const std::string scrambled = EncodeFields(map, true);
  for (unsigned char c : scrambled) ASSERT_TRUE(std::isalnum(c));
  const FieldMap back = Decoded(scrambled, true);
  EXPECT_EQ(back.Size(), 3u);
  EXPECT_EQ(back.Get("KeyType"), "Pro & Co = 100%");
  ASSERT_NE(back.Find("empty"), nullptr);
  EXPECT_EQ(*back.Find("empty"), "");
  EXPECT_EQ(back.Get("bytes"), std::string("\x00\x80\xFF\r\n", 5));
}

TEST(DecodeFields, FollowsThePairRules) {
  EXPECT_TRUE(Decoded("").Empty());
  FieldMap m = Decoded("flag&name=&=value&a=b=c&x=1&x=2&Case=1&case=2");
  EXPECT_EQ(m.Size(), 6u);
  ASSERT_TRUE(m.Has("flag"));
  EXPECT_EQ(m.Get("flag"), "");    // a pair without '=' gives an empty value
  ASSERT_TRUE(m.Has("name"));
  EXPECT_EQ(m.Get("name"), "");
  EXPECT_FALSE(m.Has(""));         // an empty name is dropped with its value
  EXPECT_EQ(m.Get("a"), "bc");     // a second '=' is dropped
  EXPECT_EQ(m.Get("x"), "2");      // the later value wins
  EXPECT_EQ(m.Get("Case"), "1");   // names are case-sensitive
  EXPECT_EQ(m.Get("case"), "2");
}

TEST(DecodeFields, DropsLineBreaksEverywhereAndUnescapes) {
  const FieldMap m = Decoded("\r\nco\r\nde=47\n11&status=ACC\r\nEPTED&msg=a%20b%26c%3Dd%25%E9\r\n");
  EXPECT_EQ(m.Get("code"), "4711");
  EXPECT_EQ(m.Get("status"), "ACCEPTED");
  EXPECT_EQ(m.Get("msg"), "a b&c=d%\xE9");
}

TEST(DecodeFields, EmptiesTheMapFirstAndStopsAtNul) {
  FieldMap m;
  m.Set("stale", "1");
  DecodeFields(std::string("a=1&b=2\0&c=3", 12), m, false);
  EXPECT_FALSE(m.Has("stale"));
  EXPECT_EQ(m.Get("b"), "2");
  EXPECT_FALSE(m.Has("c"));
}

TEST(DecodeFields, RefusesOverlongNamesWithoutHarm) {
  const std::string longName(256, 'n');
  const FieldMap m = Decoded(longName + "=x&" + std::string(255, 'k') + "=y&ok=1");
  EXPECT_FALSE(m.Has(longName));
  EXPECT_EQ(m.Get(std::string(255, 'k')), "y");
  EXPECT_EQ(m.Get("ok"), "1");
  EXPECT_EQ(m.Size(), 2u);
  // A long value grows as needed.
  const std::string value(100000, 'v');
  EXPECT_EQ(Decoded("big=" + value).Get("big"), value);
}

// Item 2 of issue 21: a reply of a million short fields keeps the first
// kMaxReplyFields names;
// a name already kept still takes its later value.
TEST(DecodeFields, AFloodOfFieldsKeepsOnlyTheFirstNames) {
  std::string text;
  for (int i = 0; i < 1000000; ++i) text += "f" + std::to_string(i) + "=&";
  const FieldMap m = Decoded(text + "code=4711&f0=late");
  EXPECT_EQ(m.Size(), kMaxReplyFields);
  EXPECT_FALSE(m.Has("code"));
  EXPECT_EQ(m.Get("f0"), "late");
  EXPECT_TRUE(m.Has("f" + std::to_string(kMaxReplyFields - 1)));
}

TEST(SplitFields, KeepsInnerEmptyPiecesButNoTrailingOne) {
  std::vector<std::string> pieces{"stale"};
  EXPECT_EQ(SplitFields("", pieces, ";"), 0u);
  EXPECT_TRUE(pieces.empty());
  auto split = [](std::string_view text) {
    std::vector<std::string> out;
    SplitFields(text, out, ";");
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(split("a;b;"), (V{"a", "b"}));
  EXPECT_EQ(split(";a"), (V{"", "a"}));
  EXPECT_EQ(split("a;;b"), (V{"a", "", "b"}));
  EXPECT_EQ(split(";"), (V{""}));
  EXPECT_EQ(split("12;38412;Patch A;First fix;15;38500.25;Patch B;Second fix").size(), 8u);
  std::vector<std::string> multi;
  EXPECT_EQ(SplitFields("a,b;c", multi, ",;"), 3u);
}

TEST(ReplyBuffer, GrowsToExactlyTheSizeAskedAndKeepsItsBytes) {
  ReplyBuffer empty;
  EXPECT_EQ(empty.Capacity(), 0);
  EXPECT_EQ(empty.Data(), nullptr);

  ReplyBuffer buffer(5010);
  EXPECT_EQ(buffer.Capacity(), 5010);
  char* data = buffer.Data();
  for (int i = 0; i < 5010; ++i) data[i] = static_cast<char>(i);
  EXPECT_EQ(buffer.Reserve(100), data);  // never shrinks
  char* grown = buffer.Reserve(10010);
  EXPECT_EQ(buffer.Capacity(), 10010);
  for (int i = 0; i < 5010; ++i) ASSERT_EQ(grown[i], static_cast<char>(i));
}

}  // namespace
}  // namespace quon
