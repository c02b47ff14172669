// Update.List: the list file inside every update archive and its sections
// of files. Pages.h makes the install page of it, Installer.h copies its
// files.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/FileSystem.h"
#include "base/UserPrompts.h"

namespace quon {

// The largest list file read: a real one holds a few kilobytes. A larger one
// is refused as a whole, never installed in part.
constexpr size_t kMaxListFileBytes = size_t(256) << 10;

class UpdateListSection {
 public:
  virtual ~UpdateListSection() = default;
  // The value stored under `key` (looked up unchanged), or an empty text.
  std::string GetSectionValue(const std::string& key) const;

  std::string m_strName;                      // upper case, as between the brackets
  std::vector<std::string> m_fileLines;       // file entries, in file order
  std::map<std::string, std::string> m_values;  // upper-case key -> value
};

class UpdateListFile {
 public:
  UpdateListFile() = default;
  UpdateListFile(UpdateListFile&&) = default;
  UpdateListFile& operator=(UpdateListFile&&) = default;
  UpdateListFile(const UpdateListFile&) = delete;
  UpdateListFile& operator=(const UpdateListFile&) = delete;
  virtual ~UpdateListFile() = default;

  // Deletes every section.
  void ClearSections();
  // Empties the object and reads the file at `path`. False when the file
  // cannot be opened or is larger than kMaxListFileBytes, after telling the
  // user through `prompts`; a read error part way is reported too, and what
  // was read so far is kept.
  bool ReadListFile(const std::string& path, UserPrompts& prompts);
  // The same for the file `name` of the directory `dir`.
  bool ReadListFile(FileSystem& fs, FsDir& dir, const std::string& name, UserPrompts& prompts);
  // Reads list-file text (as ReadListFile does after opening the file). A
  // line ends at its first NUL byte.
  void ParseText(std::string_view text);

  // The section of that name (upper case), or null.
  const UpdateListSection* FindSection(const std::string& name) const;
  size_t SectionCount() const { return m_sections.size(); }

  // The sections that apply to an installation with these modules, in the
  // order their files are installed: MAIN, then each module's ("M%i"), a
  // module listed twice twice.
  std::vector<const UpdateListSection*> SectionsFor(const std::vector<int32_t>& modules) const;

  // Copies the files of MAIN and of each module's section from unpackDir to
  // productDir (InstallEntries); failures are appended to `failed`. True
  // when no file failed.
  bool InstallFiles(FileSystem& fs, const std::vector<int32_t>& modules, const std::string& productDir,
                    const std::string& unpackDir, std::vector<std::string>& failed, UserPrompts& prompts) const;

 private:
  std::map<std::string, std::unique_ptr<UpdateListSection>> m_sections;
};

// "M%i" for module n.
std::string ModuleSectionName(int32_t module);

// A list-file entry with its blanks and every leading separator removed:
// the path relative to the product directory.
std::string RelativeEntryPath(const std::string& entry);
// True when a relative entry path stays inside the product directory: no
// ".." component, no drive or stream prefix (no ':'), not empty.
bool IsContainedRelativePath(const std::string& relative);

}  // namespace quon
