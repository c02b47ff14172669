#include "update/UpdateListFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/CText.h"
#include "base/DisplayText.h"
#include "base/FsPath.h"
#include "base/SystemError.h"
#include "update/Installer.h"

namespace quon {

namespace {

// What is trimmed off a line and a file entry.
constexpr std::string_view kEntryBlanks = " \t\r\n";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

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
  for (std::string_view rest = text, line; NextLine(rest, line);) {
    // A line ends at its first NUL, wherever it is used: a name cut there by
    // the system must be the name installed.
    line = line.substr(0, line.find('\0'));
    // Lines end in LF or CR LF; the CR goes with the line end.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    line = TrimLeft(line, kEntryBlanks);
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
      current->m_fileLines.emplace_back(TrimRight(line, kEntryBlanks));
    }
  }
}

bool UpdateListFile::ReadListFile(const std::string& path, UserPrompts& prompts) {
  ClearSections();
  const PathParts parts = SplitPath(path);
  std::unique_ptr<FsDir> dir;
  FileSystem& fs = SystemFileSystem();
  const FsError error = parts.name.empty() ? FsError::NotFound : fs.OpenRoot(parts.dir, dir);
  if (error != FsError::None) {
    // A path that does not lead to anything, however the system put it,
    // was not found.
    const FileCause cause = error == FsError::WrongType ? FileCause::NotFound : FileCauseOf(error);
    prompts.MessageBox(FileErrorMessage(cause, path));
    return false;
  }
  return ReadListFile(fs, *dir, parts.name, prompts);
}

bool UpdateListFile::ReadListFile(FileSystem& fs, FsDir& dir, const std::string& name, UserPrompts& prompts) {
  ClearSections();
  const std::string path = dir.Path() + name;
  std::unique_ptr<FsFile> file;
  if (const FsError error = fs.OpenFile(dir, name, FsAccess::Read, file); error != FsError::None) {
    prompts.MessageBox(FileErrorMessage(FileCauseOf(error), path));
    return false;
  }
  // Read one byte beyond the bound to tell a file that is too large.
  std::string text;
  char buffer[8192];
  size_t n = 0;
  FsError readError = FsError::None;
  while (text.size() <= kMaxListFileBytes && (readError = fs.Read(*file, buffer, sizeof buffer, n)) == FsError::None &&
         n > 0) {
    text.append(buffer, n);
  }
  fs.Close(*file);
  if (text.size() > kMaxListFileBytes) {
    prompts.MessageBox(ShortenPath(path) + " is larger than " + std::to_string(kMaxListFileBytes) +
                       " bytes and was not read.");
    return false;
  }
  // What was read before a read error still counts; the error is told.
  ParseText(text);
  if (readError != FsError::None)
    prompts.MessageBox("A read error occurred while accessing " + ShortenPath(path) + ".");
  return true;
}

std::string ModuleSectionName(int32_t module) { return "M" + std::to_string(module); }

std::string RelativeEntryPath(const std::string& entry) {
  std::string_view rel = Trim(entry, kEntryBlanks);
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

std::vector<const UpdateListSection*> UpdateListFile::SectionsFor(const std::vector<int32_t>& modules) const {
  std::vector<const UpdateListSection*> sections;
  if (const UpdateListSection* main = FindSection("MAIN")) sections.push_back(main);
  for (int32_t module : modules) {
    if (const UpdateListSection* section = FindSection(ModuleSectionName(module))) sections.push_back(section);
  }
  return sections;
}

bool UpdateListFile::InstallFiles(FileSystem& fs, const std::vector<int32_t>& modules, const std::string& productDir,
                                  const std::string& unpackDir, std::vector<std::string>& failed,
                                  UserPrompts& prompts) const {
  const std::vector<const UpdateListSection*> sections = SectionsFor(modules);
  failed.clear();
  std::unique_ptr<FsDir> product, unpack;
  if (fs.OpenRoot(productDir, product) == FsError::None && fs.OpenRoot(unpackDir, unpack) == FsError::None) {
    return InstallEntries(fs, *product, *unpack, sections, InstallRecord{}, failed, prompts);
  }
  // Nothing can be copied: every entry fails.
  for (const UpdateListSection* section : sections) {
    for (const std::string& line : section->m_fileLines) failed.push_back(RelativeEntryPath(line));
  }
  return failed.empty();
}

}  // namespace quon
