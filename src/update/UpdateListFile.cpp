#include "update/UpdateListFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/CText.h"
#include "base/DisplayText.h"
#include "base/SystemError.h"
#include "update/FileOps.h"
#include "update/FileSystem.h"
#include "update/Pages.h"

namespace quon {

namespace {

bool IsTrimChar(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsTrimChar(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsTrimChar(s[n - 1])) --n;
  return s.substr(0, n);
}

// The file layer's message for a file that cannot be opened. A path that
// does not lead to anything, however the system put it, was not found.
std::string OpenFailureMessage(const std::string& path, int error) {
  const FileCause cause = error == ENOTDIR || !PathExists(path) ? FileCause::NotFound : FileCauseOf(error);
  return FileErrorMessage(cause, path);
}

}  // namespace

std::string UpdateListSection::GetSectionValue(const std::string& key) const {
  auto it = m_values.find(key);
  return it == m_values.end() ? std::string() : it->second;
}

void UpdateListFile::ClearSections() { m_sections.clear(); }

const UpdateListSection* UpdateListFile::FindSection(const std::string& name) const {
  auto it = m_sections.find(name);
  return it == m_sections.end() ? nullptr : it->second.get();
}

void UpdateListFile::ParseText(std::string_view text) {
  UpdateListSection* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? text.size() : end + 1;
    // A line ends at its first NUL, wherever it is used: a name cut there by
    // the system must be the name installed.
    line = line.substr(0, line.find('\0'));
    // Lines end in LF or CR LF; the CR goes with the line end.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    line = TrimLeft(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      auto section = std::make_unique<UpdateListSection>();
      section->m_strName = close == std::string_view::npos ? std::string() : AsciiUpper(line.substr(1, close - 1));
      current = section.get();
      m_sections[section->m_strName] = std::move(section);
      continue;
    }
    if (current == nullptr) continue;  // before the first header
    size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      current->m_values[AsciiUpper(line.substr(0, equals))] = std::string(line.substr(equals + 1));
    } else {
      current->m_fileLines.emplace_back(TrimRight(line));
    }
  }
}

bool UpdateListFile::ReadListFile(const std::string& path, UserPrompts& prompts) {
  ClearSections();
  if (IsDirectory(path)) {
    prompts.MessageBox(FileErrorMessage(FileCause::AccessDenied, path));
    return false;
  }
  errno = 0;
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    prompts.MessageBox(OpenFailureMessage(path, errno));
    return false;
  }
  // Read one byte beyond the bound to tell a file that is too large.
  std::string text;
  char buffer[8192];
  size_t n;
  while (text.size() <= kMaxListFileBytes && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, n);
  }
  bool readError = std::ferror(file) != 0;
  std::fclose(file);
  if (text.size() > kMaxListFileBytes) {
    prompts.MessageBox(ShortenPath(path) + " is larger than " + std::to_string(kMaxListFileBytes) +
                       " bytes and was not read.");
    return false;
  }
  // What was read before a read error still counts; the error is told.
  ParseText(text);
  if (readError) prompts.MessageBox("A read error occurred while accessing " + ShortenPath(path) + ".");
  return true;
}

std::string ModuleSectionName(int32_t module) { return "M" + std::to_string(module); }

namespace {

using SectionList = std::vector<const UpdateListSection*>;

// The file entries a page still lists: at most kMaxPageFiles in all, the
// rest counted once, in the row where the list stops.
struct PageFiles {
  size_t total = 0;
  size_t listed = 0;
  bool counted = false;
};

// Appends one row of the install page: the title, the description and one
// item per file entry of `sections`, written straight into the page.
void AppendRow(std::string& page, const std::string& name, const std::string& description, const SectionList& sections,
               PageFiles& files) {
  const std::string_view row = kInstallRowTemplate;
  const size_t itemsAt = row.rfind("%s");
  page += FillTemplate(row.substr(0, itemsAt), {PageText(name), PageText(description)});
  for (const UpdateListSection* section : sections) {
    for (const std::string& entry : section->m_fileLines) {
      if (files.listed < kMaxPageFiles) {
        page += FillTemplate(kInstallItemTemplate, {PageFileEntry(entry)});
        ++files.listed;
      } else if (!files.counted) {
        page += FillTemplate(kInstallItemTemplate, {MoreFilesText(files.total - files.listed)});
        files.counted = true;
      }
    }
  }
  page += FillTemplate(row.substr(itemsAt + 2), {});
}

size_t FileCount(const SectionList& sections) {
  size_t n = 0;
  for (const UpdateListSection* section : sections) n += section->m_fileLines.size();
  return n;
}

}  // namespace

std::string UpdateListFile::BuildInstallPage(const std::vector<int32_t>& modules) const {
  // The main row lists the files of MAIN and of every module without a title
  // or description; each other module has a row of its own.
  const UpdateListSection* main = FindSection("MAIN");
  SectionList mainGroup;
  if (main != nullptr) mainGroup.push_back(main);
  struct ModuleRow {
    const UpdateListSection* section;
    std::string name, description;
  };
  std::vector<ModuleRow> moduleRows;
  for (int32_t module : modules) {
    const UpdateListSection* section = FindSection(ModuleSectionName(module));
    if (section == nullptr) continue;
    ModuleRow row{section, section->GetSectionValue("NAME"), section->GetSectionValue("DESCRIPTION")};
    if (!row.name.empty() || !row.description.empty()) {
      moduleRows.push_back(std::move(row));
    } else {
      mainGroup.push_back(section);
    }
  }
  const std::string mainName = main != nullptr ? main->GetSectionValue("NAME") : std::string();
  const std::string mainDescription = main != nullptr ? main->GetSectionValue("DESCRIPTION") : std::string();
  const bool mainItems =
      std::any_of(mainGroup.begin(), mainGroup.end(), [](const auto* section) { return !section->m_fileLines.empty(); });
  const bool mainRow = !mainName.empty() || !mainDescription.empty() || mainItems;

  PageFiles files;
  if (mainRow) files.total += FileCount(mainGroup);
  for (const ModuleRow& row : moduleRows) files.total += FileCount({row.section});
  std::string page = kInstallHeader;
  if (mainRow) AppendRow(page, mainName, mainDescription, mainGroup, files);
  for (const ModuleRow& row : moduleRows) AppendRow(page, row.name, row.description, {row.section}, files);
  page += kInstallFooter;
  return page;
}

std::string RelativeEntryPath(const std::string& entry) {
  std::string_view rel = TrimRight(TrimLeft(entry));
  while (!rel.empty() && IsSeparator(rel.front())) rel.remove_prefix(1);
  return std::string(rel);
}

bool IsContainedRelativePath(const std::string& relative) {
  if (relative.empty()) return false;
  if (relative.find(':') != std::string::npos) return false;
  if (IsSeparator(relative.front())) return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = FindPathSeparator(relative, start);
    std::string_view part(relative.data() + start,
                          (end == std::string::npos ? relative.size() : end) - start);
    // ".." and its variants with trailing dots or blanks, which Windows
    // treats as "..".
    std::string_view stripped = part;
    while (!stripped.empty() && (stripped.back() == '.' || stripped.back() == ' ')) stripped.remove_suffix(1);
    if (stripped.empty() && part.size() >= 2) return false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

namespace {

// One installation run: where files come from and go to, and the names
// found on the way.
class InstallRun {
 public:
  InstallRun(std::string productDir, std::string unpackDir, char separator)
      : m_names(WithTrailingSeparator(std::move(productDir), separator),
                WithTrailingSeparator(std::move(unpackDir), separator), separator) {}

  // Copies the entries of one section; failures go to `failed`, and the first
  // few of the run are told to the user.
  void InstallSection(const UpdateListSection& section, std::vector<std::string>& failed, UserPrompts& prompts) {
    for (const std::string& entry : section.m_fileLines) {
      const std::string relative = RelativeEntryPath(entry);
      // Once a handful of files failed, a file held open is no longer waited
      // for: the run has files held by a running program, or a list naming
      // one file over and over.
      if (InstallEntry(relative, failed.size() < kFailureBoxes)) continue;
      failed.push_back(relative);
      if (failed.size() <= kFailureBoxes) prompts.MessageBox("Failed to update file:\r\n" + ShortenPath(relative));
    }
  }

 private:
  // Copies the unpacked file of one entry to its place. The unpacked file is
  // looked for first, so that an entry without one creates nothing.
  bool InstallEntry(const std::string& relative, bool waitWhileBusy) {
    // An entry that would leave the product directory is never copied.
    if (relative.size() > kMaxEntryBytes || !IsContainedRelativePath(relative)) return false;
    // Its directories, without empty and "." steps, and its file name; a
    // double-byte character's second byte is never a separator.
    std::vector<std::string_view> dirs;
    size_t start = 0;
    for (size_t end; (end = FindPathSeparator(relative, start)) != std::string::npos; start = end + 1) {
      const std::string_view part = std::string_view(relative).substr(start, end - start);
      if (!part.empty() && part != ".") dirs.push_back(part);
    }
    const std::string_view fileName = std::string_view(relative).substr(start);
    if (fileName.empty()) return false;
    const std::string source = m_names.UnpackedFile(fileName);
    if (source.empty()) return false;
    const std::string target = m_names.Target(dirs, fileName);
    return !target.empty() && ReplaceFileFromCopy(source, target, waitWhileBusy);
  }

  InstallNames m_names;
};

}  // namespace

bool UpdateListFile::InstallFiles(const std::vector<int32_t>& modules, std::string productDir,
                                  std::string unpackDir, std::vector<std::string>& failed, UserPrompts& prompts,
                                  char separator) const {
  InstallRun run(std::move(productDir), std::move(unpackDir), separator);
  failed.clear();
  if (const UpdateListSection* main = FindSection("MAIN")) run.InstallSection(*main, failed, prompts);
  for (int32_t module : modules) {
    if (const UpdateListSection* section = FindSection(ModuleSectionName(module))) {
      run.InstallSection(*section, failed, prompts);
    }
  }
  return failed.empty();
}

bool UpdateListFile::InstallSection(const UpdateListSection& section, std::string productDir, std::string unpackDir,
                                    std::vector<std::string>& failed, UserPrompts& prompts, char separator) const {
  InstallRun(std::move(productDir), std::move(unpackDir), separator).InstallSection(section, failed, prompts);
  return failed.empty();
}

}  // namespace quon
