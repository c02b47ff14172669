// The contents of an update archive: its Update.List sections and the
// files that go into it, checked so that the archive unpacks safely.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quon::pack {

struct PackEntry {
  std::string path;        // relative path in the product directory, '\' separated
  std::string storedName;  // its last component: the name inside the archive
  std::string source;      // the file on disk
};

struct PackSection {
  bool isModule = false;
  int32_t module = 0;  // "M<module>" when isModule, else MAIN
  std::string name;
  std::string description;
  std::vector<PackEntry> entries;

  std::string SectionName() const;
};

// Why a file entry cannot be used, or nullopt when it can. The entry is a
// relative path with '/' or '\' separators; its last component must be a
// file name that unpacks safely on every platform, and the whole line must
// read back from Update.List as a file entry.
std::optional<std::string> CheckEntryPath(std::string_view path);
// Why a NAME or DESCRIPTION text cannot be used (it must stay on one line).
std::optional<std::string> CheckText(std::string_view text);
// Parses a module number: a signed 32-bit decimal.
std::optional<int32_t> ParseModuleNumber(std::string_view text);

// Builds an entry from a path as given on the command line and the base
// directory the files are read from; an error text when the path is bad.
std::optional<std::string> MakeEntry(std::string_view path, const std::string& baseDir, PackEntry& entry);

// Checks the sections as a whole: at least one file, no two stored names
// equal ignoring case (nor equal to Update.List or Update.Release), no
// module twice, no empty module. Returns every problem found.
std::vector<std::string> CheckSections(const std::vector<PackSection>& sections);

// The text of Update.List (CR LF line ends).
std::string BuildUpdateList(const std::vector<PackSection>& sections);

inline constexpr const char kListFileName[] = "Update.List";
// The release file a signed archive carries (update/ReleaseFile.h).
inline constexpr const char kReleaseFileName[] = "Update.Release";

}  // namespace quon::pack
