// The update catalog: the human-editable list of updates that the server
// offers, read from catalog.ini in the server's root directory.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveFile.h"

namespace quon::server {

// The name of the catalog file inside the root directory.
inline constexpr const char kCatalogFileName[] = "catalog.ini";

// Archives larger than this cannot be downloaded: the updater counts the
// bytes it receives in a signed 32-bit value.
inline constexpr uint64_t kMaxArchiveSize = 0x7FFFFFFFu;

// A product version: four numbers of 0..65535, written "6.0.121.3".
struct Version {
  uint16_t part[4] = {0, 0, 0, 0};
  bool operator==(const Version& other) const;
};
// Strict: exactly four decimal numbers of 0..65535 joined by dots.
std::optional<Version> ParseVersion(std::string_view text);
std::string FormatVersion(const Version& version);

// A version as the catalog lists it in applies-to: each of the four parts
// is a number or "*" (any number).
struct VersionPattern {
  int32_t part[4] = {0, 0, 0, 0};  // -1 stands for "*"
  bool Matches(const Version& version) const;
};
std::optional<VersionPattern> ParseVersionPattern(std::string_view text);

// A posting date "YYYY-MM-DD", optionally followed by " HH:MM" or
// " HH:MM:SS" (or 'T' in place of the blank), turned into the decimal text
// of an OLE Automation date (days since 1899-12-30, the fraction being the
// time of day): "2005-03-01" gives "38412", "2005-05-28 06:00" "38500.25".
// Years 1900 to 9999. On failure returns nullopt and sets the reason.
std::optional<std::string> OleDateText(std::string_view text, std::string* reason = nullptr);

struct CatalogEntry {
  uint32_t id = 0;             // the TableID, 1..4294967295
  int line = 0;                // line of its section header
  std::string posted;          // the date as written
  std::string oleDate;         // the date as sent
  std::string name;
  std::string description;
  std::vector<VersionPattern> appliesTo;
  std::string appliesToText;   // as written, for messages
  std::string archive;         // as written, relative to the root
  std::string archivePath;     // resolved, absolute, inside the root
  std::string archiveRelative; // resolved, relative to the root, no links
  uint64_t archiveSize = 0;    // at load time
  Version brings;
  // The share of installations offered the update, in hundredths of a
  // percent (10000: all of them); see IsOffered in UpdateService.h.
  uint32_t rolloutBasisPoints = kFullRollout;
  bool paused = false;         // offered to nobody, downloads refused

  static constexpr uint32_t kFullRollout = 10000;

  bool AppliesTo(const Version& installed) const;
};

class Catalog {
 public:
  // Reads <root>/catalog.ini. Every problem found is appended to errors as
  // "<file>:<line>: <problem>"; the catalog is returned only when there is
  // none.
  static std::optional<Catalog> Load(const std::string& rootDir, std::vector<std::string>& errors);
  // Parses catalog text; fileName only names the file in messages.
  // Archives are resolved against rootDir and must exist inside it.
  static std::optional<Catalog> Parse(std::string_view text, const std::string& fileName,
                                      const std::string& rootDir, std::vector<std::string>& errors);

  const std::vector<CatalogEntry>& Entries() const { return m_entries; }
  // Doubts that do not stop the server ("<file>:<line>: ..."), such as an
  // archive that does not look like a cabinet.
  const std::vector<std::string>& Warnings() const { return m_warnings; }
  const CatalogEntry* Find(uint32_t id) const;
  // Opens an entry's archive beneath the root directory as it was when the
  // catalog was read, following no link; null when that fails.
  std::shared_ptr<ArchiveFile> OpenArchive(const CatalogEntry& entry) const;

 private:
  std::vector<CatalogEntry> m_entries;  // in catalog order
  std::shared_ptr<const ArchiveRoot> m_root;
  std::vector<std::string> m_warnings;
};

}  // namespace quon::server
