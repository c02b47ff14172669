// The version resource reader on real executables (built with the mingw-w64
// resource compiler, and Wine's own system files) and on images built in
// memory that exercise the lookup rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <algorithm>

#include "PeTestImage.h"
#include "support/RequiredTools.h"
#include "support/TempDir.h"
#include "update/PeVersionResource.h"

using namespace petest;
using quon::PeVersionStatus;

namespace {

std::string Sample(const char* name) { return std::string(QUON_PE_SAMPLES) + "/" + name + "/QUON.EXE"; }

TEST(PeSampleExecutables, ProductVersionStringsComeOutAsWritten) {
  const struct {
    const char* dir;
    PeVersionStatus status;
    const char* text;
  } cases[] = {
      {"v603", PeVersionStatus::FoundWithString, "6, 0, 3, 121"},
      {"v600", PeVersionStatus::FoundWithString, "6, 0, 0, 2"},
      {"big", PeVersionStatus::FoundWithString, "6, 0, 70000, 1"},
      // A version resource without ProductVersion, or with it only under
      // another language's table, has version information but no string.
      {"nostring", PeVersionStatus::FoundWithoutString, ""},
      {"german", PeVersionStatus::FoundWithoutString, ""},
      {"nores", PeVersionStatus::NoVersionInfo, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    Read file = FromFile(Sample(c.dir));
    EXPECT_EQ(file.status, c.status);
    EXPECT_EQ(file.text, c.text);
    // The buffer reader agrees with the file reader.
    Read buf = FromBuffer(ReadFileBytes(Sample(c.dir)));
    EXPECT_EQ(buf.status, file.status);
    EXPECT_EQ(buf.text, file.text);
  }
}

TEST(PeSampleExecutables, GermanTableIsThereUnderItsOwnKey) {
  // The string is present, just not under 040904b0: the reader finds it when
  // asked for the right table, so the miss above is the table rule at work.
  Bytes exe = ReadFileBytes(Sample("german"));
  struct Src : quon::PeByteSource {
    const Bytes& b;
    explicit Src(const Bytes& bytes) : b(bytes) {}
    std::uint64_t Size() const override { return b.size(); }
    bool Read(std::uint64_t off, std::size_t len, Bytes& out) override {
      if (off > b.size() || len > b.size() - off) return false;
      out.assign(b.begin() + off, b.begin() + off + len);
      return true;
    }
  } src(exe);
  Bytes block;
  ASSERT_TRUE(quon::FindVersionResource(src, block));
  std::string v;
  EXPECT_TRUE(quon::QueryVersionString(block.data(), block.size(),
                                       "\\StringFileInfo\\040704b0\\ProductVersion", v));
  EXPECT_EQ(v, "6, 0, 3, 121");
  EXPECT_FALSE(quon::QueryVersionString(block.data(), block.size(),
                                        "\\StringFileInfo\\040904b0\\ProductVersion", v));
}

TEST(PeSampleExecutables, PathsThatAreNotExecutables) {
  namespace fs = std::filesystem;
  quon::test::TempDir tmp;
  const fs::path dir = tmp.Root();
  fs::create_directories(dir / "QUON.EXE");
  std::ofstream(dir / "text.exe") << "MZ but nothing else";
  std::ofstream(dir / "empty.exe");

  EXPECT_EQ(FromFile((dir / "missing.exe").string()).status, PeVersionStatus::NoFile);
  EXPECT_EQ(FromFile("").status, PeVersionStatus::NoFile);
  EXPECT_EQ(FromFile((dir / "QUON.EXE").string()).status, PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(FromFile((dir / "text.exe").string()).status, PeVersionStatus::NoVersionInfo);
  EXPECT_EQ(FromFile((dir / "empty.exe").string()).status, PeVersionStatus::NoVersionInfo);
}

// An extraction independent of the reader: the first UTF-16 "ProductVersion"
// key after the first "040904b0" or "040904B0" key (Wine writes the latter),
// and the text after its padding.
bool ScanProductVersion(const Bytes& file, std::string& out) {
  auto u16 = [](const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
      b.push_back(c & 0xFF);
      b.push_back(c >> 8);
    }
    b.push_back(0);
    b.push_back(0);
    return b;
  };
  const Bytes lower = u16(u"040904b0"), upper = u16(u"040904B0"), key = u16(u"ProductVersion");
  auto t = std::min(std::search(file.begin(), file.end(), lower.begin(), lower.end()),
                    std::search(file.begin(), file.end(), upper.begin(), upper.end()));
  if (t == file.end()) return false;
  auto k = std::search(t, file.end(), key.begin(), key.end());
  if (k == file.end()) return false;
  std::size_t p = (k - file.begin()) + key.size();
  while (p % 4) ++p;  // value aligned to 4 in the file, as the resource is
  out.clear();
  for (; p + 1 < file.size(); p += 2) {
    char16_t c = file[p] | (file[p + 1] << 8);
    if (c == 0) break;
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return true;
}

TEST(PeWineSystemFiles, AgreeWithIndependentScan) {
  const char* dirs[] = {"/usr/lib/i386-linux-gnu/wine/i386-windows",
                        "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
                        "/usr/lib/wine/i386-windows", "/usr/lib/wine/x86_64-windows"};
  const char* names[] = {"kernel32.dll", "winver.exe", "user32.dll", "notepad.exe",
                         "regedit.exe",  "cmd.exe",    "version.dll", "shell32.dll"};
  int checked = 0, withString = 0;
  for (const char* d : dirs) {
    for (const char* n : names) {
      const std::string path = std::string(d) + "/" + n;
      if (!std::filesystem::is_regular_file(path)) continue;
      SCOPED_TRACE(path);
      ++checked;
      std::string expected;
      const bool scanned = ScanProductVersion(ReadFileBytes(path), expected);
      Read r = FromFile(path);
      if (scanned) {
        ++withString;
        EXPECT_EQ(r.status, PeVersionStatus::FoundWithString);
        EXPECT_EQ(r.text, expected);
        // Wine stamps its files with dotted numbers.
        EXPECT_FALSE(r.text.empty());
        EXPECT_EQ(r.text.find_first_not_of("0123456789."), std::string::npos) << r.text;
      } else {
        EXPECT_NE(r.status, PeVersionStatus::FoundWithString);
      }
    }
  }
  if (checked == 0) QUON_SKIP_WITHOUT_TOOL("no Wine system files found on this machine");
  EXPECT_GT(withString, 0) << "none of Wine's files carried a version string";
}

// --- Lookup rules, on images built in memory ---

Bytes VersionData(const std::u16string& table, const std::u16string& text) {
  return Serialize(StandardVersion(table, {Text(u"CompanyName", u"Sample"),
                                           Text(u"ProductVersion", text)}));
}

TEST(PeLookupRules, LanguageAndNameChoice) {
  // English (US) wins over other languages, whatever their order.
  Read r = FromBuffer(BuildPe({{16, 1, 0x0407, VersionData(u"040904b0", u"german")},
                               {16, 1, 0x0409, VersionData(u"040904b0", u"english")},
                               {16, 1, 0x0000, VersionData(u"040904b0", u"neutral")}}));
  EXPECT_EQ(r.text, "english");
  // Without English, the neutral language; without both, the first one.
  r = FromBuffer(BuildPe({{16, 1, 0x0407, VersionData(u"040904b0", u"german")},
                          {16, 1, 0x0000, VersionData(u"040904b0", u"neutral")}}));
  EXPECT_EQ(r.text, "neutral");
  r = FromBuffer(BuildPe({{16, 1, 0x040C, VersionData(u"040904b0", u"french")},
                          {16, 1, 0x0407, VersionData(u"040904b0", u"german")}}));
  EXPECT_EQ(r.text, "french");
  // The name VS_VERSION_INFO (1) wins; any other name or a string name is
  // accepted when it is the only one. Other resource types are passed over.
  r = FromBuffer(BuildPe({{3, 1, 0x0409, Bytes(40, 0xAB)},
                          {16, 2, 0x0409, VersionData(u"040904b0", u"two")},
                          {16, 1, 0x0409, VersionData(u"040904b0", u"one")}}));
  EXPECT_EQ(r.text, "one");
  Resource named{16, 7, 0x0409, VersionData(u"040904b0", u"named")};
  named.namedName = true;
  r = FromBuffer(BuildPe({named}));
  EXPECT_EQ(r.status, PeVersionStatus::FoundWithString);
  EXPECT_EQ(r.text, "named");
  // Only other resource types: no version information.
  EXPECT_EQ(FromBuffer(BuildPe({{3, 1, 0x0409, Bytes(40, 0xAB)}})).status,
            PeVersionStatus::NoVersionInfo);
}

TEST(PeLookupRules, ImageFormatsAndLayouts) {
  PeLayout plus;
  plus.pe32Plus = true;
  EXPECT_EQ(FromBuffer(BuildPe({{16, 1, 0x0409, VersionData(u"040904b0", u"6.1")}}, plus)).text,
            "6.1");
  PeLayout odd;
  odd.peOffset = 0x40;
  odd.sectionVa = 0x23000;
  odd.sectionRaw = 0x400;
  EXPECT_EQ(FromBuffer(BuildPe({{16, 1, 0x0409, VersionData(u"040904b0", u"6.2")}}, odd)).text,
            "6.2");
}

TEST(PeLookupRules, KeysAndValues) {
  // Keys compare without regard to ASCII case, but must match in full.
  Read r = FromBuffer(BuildPe({{16, 1, 0x0409, Serialize(Root({Block(
      u"STRINGFILEINFO", {Block(u"040904B0", {Text(u"productversion", u"1, 2, 3, 4")})})}))}}));
  EXPECT_EQ(r.status, PeVersionStatus::FoundWithString);
  EXPECT_EQ(r.text, "1, 2, 3, 4");
  r = FromBuffer(BuildPe({{16, 1, 0x0409, VersionData(u"040904b0x", u"x")}}));
  EXPECT_EQ(r.status, PeVersionStatus::FoundWithoutString);
  r = FromBuffer(BuildPe({{16, 1, 0x0409, Serialize(StandardVersion(
      u"040904b0", {Text(u"ProductVersionX", u"x"), Text(u"ProductVersio", u"y")}))}}));
  EXPECT_EQ(r.status, PeVersionStatus::FoundWithoutString);
  EXPECT_EQ(r.text, "");

  // Non-ASCII characters become '?', a surrogate pair one '?'.
  r = FromBuffer(BuildPe({{16, 1, 0x0409, VersionData(u"040904b0", u"6\u00e9\u4e2d\U0001F600.1")}}));
  EXPECT_EQ(r.text, "6???.1");

  // An empty string and a string of length 0 are found, and empty.
  VerNode zero = Text(u"ProductVersion", u"123");
  zero.valueLength = 0;
  r = FromBuffer(BuildPe({{16, 1, 0x0409, Serialize(StandardVersion(u"040904b0", {zero}))}}));
  EXPECT_EQ(r.status, PeVersionStatus::FoundWithString);
  EXPECT_EQ(r.text, "");
  r = FromBuffer(BuildPe({{16, 1, 0x0409, VersionData(u"040904b0", u"")}}));
  EXPECT_EQ(r.status, PeVersionStatus::FoundWithString);
  EXPECT_EQ(r.text, "");

  // A length given in bytes instead of characters, and a text without its
  // NUL, end at the NUL or at the end of the string's own block.
  VerNode bytes = Text(u"ProductVersion", u"6, 0");
  bytes.valueLength = 10;
  VerNode noNul = Text(u"ProductVersion", u"7, 1");
  noNul.value.resize(noNul.value.size() - 2);
  r = FromBuffer(BuildPe({{16, 1, 0x0409, Serialize(StandardVersion(u"040904b0", {bytes}))}}));
  EXPECT_EQ(r.text, "6, 0");
  r = FromBuffer(BuildPe({{16, 1, 0x0409,
                           Serialize(StandardVersion(u"040904b0", {noNul, Text(u"Next", u"zz")}))}}));
  EXPECT_EQ(r.text, "7, 1");
}

}  // namespace
