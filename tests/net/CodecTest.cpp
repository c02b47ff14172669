#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "net/PayloadCodec.h"

namespace quon {
namespace {

// A key for tests that need to reason about key characters; the built-in
// key is only ever used through the default argument.
std::string UniformKey(char c) { return std::string(244, c); }

bool AllAlnum(const std::string& s) {
  for (unsigned char c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

int Value62(char c) { return c >= 'A' && c <= 'Z' ? c - 65 : c >= 'a' && c <= 'z' ? c - 71 : c + 4; }

// Splits a scrambled text into its groups: salt (first salt value mod 3
// extra characters) and the two value characters.
struct Group {
  std::string salt, value;
};
std::vector<Group> SplitGroups(const std::string& s) {
  std::vector<Group> groups;
  size_t p = 0;
  while (p < s.size()) {
    Group g;
    const size_t saltLen = 1 + Value62(s[p]) % 3;
    g.salt = s.substr(p, saltLen);
    g.value = s.substr(p + saltLen, 2);
    p += saltLen + 2;
    groups.push_back(g);
  }
  return groups;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST(CrtRandom, FollowsTheCLibraryGeneratorOnEveryPlatform) {
  CrtSeed(1);
  const int expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
  for (int e : expected) EXPECT_EQ(CrtRand(), e);
  CrtSeed(1);
  EXPECT_EQ(CrtRand(), 41);  // reseeding restarts the sequence
}

TEST(CrtRandom, EachThreadHasItsOwnGenerator) {
  CrtSeed(7);
  const int first = CrtRand();
  int other = -1;
  std::thread([&] {
    CrtSeed(7);
    other = CrtRand();
    CrtRand();
  }).join();
  EXPECT_EQ(first, other);
  CrtSeed(7);
  CrtRand();
  const int second = CrtRand();
  CrtSeed(7);
  CrtRand();
  std::thread([] { CrtRand(); }).join();
  EXPECT_EQ(CrtRand(), second);
}

TEST(PercentEncode, EscapesEverythingButAsciiLettersAndDigits) {
  EXPECT_EQ(PercentEncode(""), "");
  EXPECT_EQ(PercentEncode("7.0 beta"), "7%2E0%20beta");
  EXPECT_EQ(PercentEncode("abcXYZ019"), "abcXYZ019");
  EXPECT_EQ(PercentEncode("%&=_"), "%25%26%3D%5F");
  EXPECT_EQ(PercentEncode(std::string("\xE9\x00\xFF", 3)), "%E9%00%FF");
  EXPECT_EQ(PercentEncode("updateversion=7%2E0"), "updateversion%3D7%252E0");
}

TEST(PercentDecode, IsLenientAndNeverReadsPastTheText) {
  EXPECT_EQ(PercentDecode("7%2E0%20beta"), "7.0 beta");
  EXPECT_EQ(PercentDecode("%e9%E9"), "\xE9\xE9");
  // Non-hex characters count as character - '0': 'G' is 23, so %1G is 16 + 23.
  EXPECT_EQ(PercentDecode("%1G"), std::string(1, static_cast<char>(16 + 23)));
  // Digits above 15 wrap to 8 bits: '9'*16 + 'z'-48 = 144 + 74 = 218.
  EXPECT_EQ(PercentDecode("%9z"), std::string(1, static_cast<char>(218)));
  // A '%' without two characters after it stands for itself.
  EXPECT_EQ(PercentDecode("ab%"), "ab%");
  EXPECT_EQ(PercentDecode("ab%4"), "ab%4");
  EXPECT_EQ(PercentDecode(""), "");

  char buffer[] = {'%', '4', '1', 'x', '%', '2'};
  EXPECT_EQ(PercentDecode(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "Ax%2");
}

TEST(PercentCodec, RoundTripsEveryByteValue) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  const std::string encoded = PercentEncode(all);
  EXPECT_TRUE(std::all_of(encoded.begin(), encoded.end(), [](unsigned char c) {
    return c == '%' || std::isalnum(c);
  }));
  EXPECT_EQ(encoded.size(), 62u + 3 * (256 - 62));
  EXPECT_EQ(PercentDecode(encoded), all);
}

TEST(Scramble, ProducesOnlyLettersAndDigitsInGroupsOfThreeToFive) {
  CrtSeed(12345);
  const std::string input = "GetUpgradeList fields & =% \xE9";
  const std::string escaped = PercentEncode(input);
  const std::string scrambled = ScrambleText(input);
  EXPECT_TRUE(AllAlnum(scrambled));
  EXPECT_GE(scrambled.size(), 3 * escaped.size());
  EXPECT_LE(scrambled.size(), 5 * escaped.size());
  EXPECT_EQ(SplitGroups(scrambled).size(), escaped.size());
  EXPECT_EQ(UnscrambleText(scrambled), input);
}

TEST(Scramble, EmptyTextStaysEmpty) {
  EXPECT_EQ(ScrambleText(""), "");
  EXPECT_EQ(UnscrambleText(""), "");
  EXPECT_EQ(UnscrambleText("\r\n  "), "");
}

TEST(Scramble, SumsOfZeroAndOneAreWrittenAAandAB) {
  // With every key character 'A' (65): 'A' has value 0, so F = 65 mod 65 = 0;
  // 'B' has value 1, so F = 1.
  const std::string key = UniformKey('A');
  CrtSeed(99);
  const auto groups = SplitGroups(ScrambleText("ABAB", key));
  ASSERT_EQ(groups.size(), 4u);
  EXPECT_EQ(groups[0].value, "AA");
  EXPECT_EQ(groups[1].value, "AB");
  EXPECT_EQ(groups[2].value, "AA");
  EXPECT_EQ(groups[3].value, "AB");
}

TEST(Scramble, ValueCharactersAddUpToTheKeyedSum) {
  const std::string key = UniformKey('z');  // 122
  CrtSeed(3);
  const std::string text = "Quon7";
  const auto groups = SplitGroups(ScrambleText(text, key));
  ASSERT_EQ(groups.size(), text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const int e = Value62(text[i]);
    const int f = Value62(groups[i].value[0]) + Value62(groups[i].value[1]);
    EXPECT_EQ(f, (e + 122) % 65) << "group " << i;
  }
}

TEST(Scramble, SaltAndKeyMakeEveryCallDifferentButReversible) {
  CrtSeed(1);
  const std::string a = ScrambleText("updateversion=7%2E0");
  const std::string b = ScrambleText("updateversion=7%2E0");
  EXPECT_NE(a, b);
  EXPECT_EQ(UnscrambleText(a), "updateversion=7%2E0");
  EXPECT_EQ(UnscrambleText(b), "updateversion=7%2E0");
  EXPECT_EQ(SplitGroups(a).size(), 23u);
  // Same seed, same output: the generator is the only source of salt.
  CrtSeed(1);
  EXPECT_EQ(ScrambleText("updateversion=7%2E0"), a);
}

TEST(Scramble, KeyWrapsAroundAtThe245thSymbol) {
  std::string key = UniformKey('k');
  key[0] = 'Q';
  std::string otherKey = key;
  otherKey[0] = 'R';  // differs only in the first key character
  const std::string text(300, 'm');
  CrtSeed(5);
  const std::string decoded = UnscrambleText(ScrambleText(text, key), otherKey);
  ASSERT_EQ(decoded.size(), text.size());
  for (size_t i = 0; i < text.size(); ++i)
    EXPECT_EQ(decoded[i] != 'm', i == 0 || i == 244) << "symbol " << i;
}

TEST(Unscramble, SkipsLineBreaksAndBlanksBetweenGroupsButNotInsideTheSalt) {
  CrtSeed(77);
  const std::string text = "KeyID=123&KeyType=Pro";
  const auto groups = SplitGroups(ScrambleText(text));
  std::string spaced, insideValue;
  for (const Group& g : groups) {
    spaced += "\r\n" + g.salt + " \t" + g.value + " ";
    insideValue += g.salt + g.value.substr(0, 1) + "\n" + g.value.substr(1);
  }
  EXPECT_EQ(UnscrambleText(spaced), text);
  EXPECT_EQ(UnscrambleText(insideValue), text);

  // Find a group with more than one salt character and break its salt run.
  std::string broken;
  bool brokeOne = false;
  for (const Group& g : groups) {
    if (!brokeOne && g.salt.size() > 1) {
      broken += g.salt.substr(0, 1) + "\n" + g.salt.substr(1) + g.value;
      brokeOne = true;
    } else {
      broken += g.salt + g.value;
    }
  }
  ASSERT_TRUE(brokeOne);
  EXPECT_NE(UnscrambleText(broken), text);
}

TEST(Unscramble, IgnoresAnIncompleteLastGroupAndNeverOverreads) {
  CrtSeed(8);
  const std::string scrambled = ScrambleText("abc");
  const auto groups = SplitGroups(scrambled);
  const std::string lastSalt = groups.back().salt;
  for (size_t cut = 1; cut <= lastSalt.size() + 1; ++cut) {
    std::string truncated = scrambled.substr(0, scrambled.size() - 2 - lastSalt.size() + cut);
    if (truncated.size() < scrambled.size()) {
      EXPECT_EQ(UnscrambleText(truncated), "ab");
    }
  }
  // Hostile input: every byte, any length; only the result's sanity matters.
  std::mt19937 rng(4);
  for (int i = 0; i < 2000; ++i) {
    const std::string junk = RandomBytes(rng, rng() % 64);
    EXPECT_LE(UnscrambleText(junk).size(), junk.size() / 3 + 1);
  }
}

TEST(Scramble, RoundTripsRandomByteStrings) {
  std::mt19937 rng(2024);
  CrtSeed(2024);
  for (size_t length : {0u, 1u, 2u, 3u, 61u, 62u, 244u, 245u, 1000u, 4096u, 9000u}) {
    const std::string s = RandomBytes(rng, length);
    const std::string scrambled = ScrambleText(s);
    EXPECT_TRUE(AllAlnum(scrambled));
    EXPECT_EQ(UnscrambleText(scrambled), s) << "length " << length;
  }
}

}  // namespace
}  // namespace quon
