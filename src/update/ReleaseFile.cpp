#include "update/ReleaseFile.h"

#include <algorithm>
#include <cstdio>

#include "base/CText.h"
#include "base/DisplayText.h"
#include "base/FsPath.h"
#include "update/ArchiveSignature.h"
#include "update/RunFiles.h"

namespace quon {

namespace {

constexpr char kAppliesToKey[] = "APPLIES-TO";
constexpr char kBringsKey[] = "BRINGS";
constexpr char kRevokesKey[] = "REVOKES";

// One version, '*' parts allowed when `pattern`.
bool ParseVersion(std::string_view text, bool pattern, int32_t parts[4]) {
  int part = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string_view piece = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
    if (part == 4 || piece.empty() || piece.size() > 5) return false;
    if (piece == "*" && pattern) {
      parts[part] = -1;
    } else {
      int32_t value = 0;
      for (char c : piece) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
      }
      if (value > 65535) return false;
      parts[part] = value;
    }
    ++part;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return part == 4;
}

std::optional<std::vector<VersionPattern>> ParsePatterns(std::string_view text) {
  std::vector<VersionPattern> patterns;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find_first_of(", \t", start), text.size());
    if (end > start) {
      VersionPattern p{};
      if (patterns.size() == 64 || !ParseVersion(text.substr(start, end - start), true, p.parts)) return std::nullopt;
      patterns.push_back(p);
    }
    start = end + 1;
  }
  if (patterns.empty()) return std::nullopt;
  return patterns;
}

std::string VersionText(const uint16_t v[4]) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

}  // namespace

bool VersionPattern::Matches(const uint16_t version[4]) const {
  for (int i = 0; i < 4; ++i) {
    if (parts[i] >= 0 && parts[i] != version[i]) return false;
  }
  return true;
}

std::optional<ReleaseInfo> ParseReleaseText(std::string_view text) {
  std::optional<std::vector<VersionPattern>> appliesTo;
  std::optional<ReleaseInfo> info(std::in_place);
  bool brings = false;
  for (std::string_view rest = text, raw; NextLine(rest, raw);) {
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string key = AsciiUpper(TrimBlanks(line.substr(0, equals)));
    const std::string_view value = TrimBlanks(line.substr(equals + 1));
    if (key == kAppliesToKey) {
      if (appliesTo || !(appliesTo = ParsePatterns(value))) return std::nullopt;
    } else if (key == kBringsKey) {
      int32_t parts[4];
      if (brings || !ParseVersion(value, false, parts)) return std::nullopt;
      for (int i = 0; i < 4; ++i) info->brings[i] = static_cast<uint16_t>(parts[i]);
      brings = true;
    } else if (key == kRevokesKey) {
      const std::string fingerprint = NormalizeFingerprint(std::string(value));
      if (fingerprint.empty() || info->revokes.size() == 1024) return std::nullopt;
      info->revokes.push_back(fingerprint);
    }
  }
  if (!appliesTo || !brings) return std::nullopt;
  info->appliesTo = std::move(*appliesTo);
  return info;
}

std::optional<std::string> FormatReleaseText(std::string_view appliesTo, std::string_view brings, std::string& problem,
                                             const std::vector<std::string>& revokes) {
  std::string text =
      "# The installed versions this update applies to, and the version it brings.\r\n"
      "applies-to = " +
      std::string(appliesTo) + "\r\nbrings = " + std::string(brings) + "\r\n";
  for (const std::string& given : revokes) {
    const std::string fingerprint = NormalizeFingerprint(given);
    if (fingerprint.empty()) {
      problem = "'" + given + "' is not a SHA-256 fingerprint (64 hex digits)";
      return std::nullopt;
    }
    text += "revokes = " + fingerprint + "\r\n";
  }
  if (!ParsePatterns(appliesTo) || appliesTo.find_first_of("\r\n") != std::string_view::npos) {
    problem = "'" + std::string(appliesTo) +
              "' is not a list of versions (four numbers 0..65535 joined by dots, a part may be *)";
    return std::nullopt;
  }
  int32_t parts[4];
  if (!ParseVersion(brings, false, parts)) {
    problem = "'" + std::string(brings) + "' is not a version (four numbers 0..65535 joined by dots)";
    return std::nullopt;
  }
  return text;
}

ReleaseVerdict CheckRelease(const std::optional<std::string>& text, const std::string& installedVersion,
                            const std::string& repliedVersion) {
  ReleaseVerdict verdict;
  verdict.newVersion = repliedVersion;
  if (!text) return verdict;
  verdict.ok = false;
  const std::optional<ReleaseInfo> release = ParseReleaseText(*text);
  if (!release) {
    verdict.reason = "The release file of the update archive cannot be read.";
    return verdict;
  }
  uint16_t installed[4];
  const bool known = ParseVersionWords(installedVersion, installed);
  bool applies = false;
  for (const VersionPattern& p : release->appliesTo) applies = applies || (known && p.Matches(installed));
  if (!applies) {
    verdict.reason = "The update archive does not apply to the installed version " + installedVersion + ".";
    return verdict;
  }
  // Signed archives of the past stay signed: whatever one says it applies
  // to, it never takes the product back to an older version.
  if (!std::lexicographical_compare(installed, installed + 4, release->brings, release->brings + 4)) {
    verdict.reason = "The update archive brings version " + VersionText(release->brings) +
                     ", which is not newer than the installed version " + installedVersion + ".";
    return verdict;
  }
  uint16_t replied[4];
  const bool same = ParseVersionWords(repliedVersion, replied) && std::equal(replied, replied + 4, release->brings);
  if (!same) {
    verdict.reason = "The update archive brings version " + VersionText(release->brings) + ", not the version " +
                     ShortenText(repliedVersion, 40) + " that the server named.";
    return verdict;
  }
  verdict.ok = true;
  verdict.newVersion = VersionText(release->brings);
  verdict.release = release;
  return verdict;
}

const char kReleaseFileRequired[] = "This installation accepts only update archives with a release file.";

namespace {

// The release file in `unpackDir`, when there is one; an empty text when it
// cannot be read or is too large, which is then no release file.
std::optional<std::string> ReadReleaseText(const std::string& unpackDir) {
  std::optional<std::string> text;
  if (std::FILE* file = OpenFile(unpackDir + kReleaseFileName, "rb")) {
    // One byte beyond the bound tells a file that is too large.
    text.emplace(kMaxReleaseFileBytes + 1, '\0');
    text->resize(std::fread(text->data(), 1, text->size(), file));
    // Unreadable or too large: a text that is no release file.
    if (std::ferror(file) || text->size() > kMaxReleaseFileBytes) text->clear();
    std::fclose(file);
  }
  return text;
}

}  // namespace

namespace {

ReleaseVerdict Refused(const char* reason) {
  ReleaseVerdict verdict;
  verdict.ok = false;
  verdict.reason = reason;
  return verdict;
}

}  // namespace

ReleaseVerdict CheckReleaseFile(const std::string& unpackDir, const std::string& installedVersion,
                                const std::string& repliedVersion, bool releaseFileRequired) {
  if (!ArchiveSignatureRequired()) return CheckRelease(std::nullopt, installedVersion, repliedVersion);
  const std::optional<std::string> text = ReadReleaseText(unpackDir);
  if (!text && releaseFileRequired) return Refused(kReleaseFileRequired);
  return CheckRelease(text, installedVersion, repliedVersion);
}

ReleaseVerdict CheckOfflineRelease(const std::string& unpackDir, const std::string& installedVersion,
                                   const std::string& brings, bool releaseFileRequired) {
  const std::optional<std::string> text = ReadReleaseText(unpackDir);
  if (!text && releaseFileRequired) return Refused(kReleaseFileRequired);
  std::optional<ReleaseInfo> release;
  if (text) release = ParseReleaseText(*text);
  ReleaseVerdict verdict;
  if (text && !release) return CheckRelease(text, installedVersion, brings);  // "cannot be read"
  uint16_t given[4];
  if (!brings.empty() && !ParseVersionWords(brings, given)) {
    verdict.ok = false;
    verdict.versionUnknown = true;
    verdict.reason =
        "--brings " + ShortenText(brings, 40) + " is not a version (four numbers 0..65535 joined by dots).";
    return verdict;
  }
  if (release) {
    if (!brings.empty() && !std::equal(given, given + 4, release->brings)) {
      verdict.ok = false;
      verdict.versionUnknown = true;
      verdict.reason = "The release file of the update archive brings version " + VersionText(release->brings) +
                       ", not the version " + brings + " that --brings names.";
      return verdict;
    }
    return CheckRelease(text, installedVersion, VersionText(release->brings));
  }
  if (brings.empty()) {
    verdict.ok = false;
    verdict.versionUnknown = true;
    verdict.reason = "The update archive has no release file: give the version it brings with --brings.";
    return verdict;
  }
  // Named by the administrator alone; it still never takes the product back.
  uint16_t installed[4];
  if (ParseVersionWords(installedVersion, installed) &&
      !std::lexicographical_compare(installed, installed + 4, given, given + 4)) {
    verdict.ok = false;
    verdict.reason = "The update archive brings version " + VersionText(given) +
                     ", which is not newer than the installed version " + installedVersion + ".";
    return verdict;
  }
  verdict.newVersion = VersionText(given);
  return verdict;
}

}  // namespace quon
