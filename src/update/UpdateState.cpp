#include "update/UpdateState.h"

#include <algorithm>

#include "base/CText.h"
#include "base/Trace.h"
#include "update/ArchiveSignature.h"
#include "update/RunFiles.h"

namespace quon {

namespace {

constexpr char kReleaseFileKey[] = "RELEASE-FILE";
constexpr char kRevokedKey[] = "REVOKED";

std::string VersionText(const uint16_t v[4]) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

}  // namespace

bool UpdateState::Remember(const uint16_t brought[4], const std::vector<std::string>& revokes) {
  bool changed = !releaseFileSeen;
  if (!releaseFileSeen || std::lexicographical_compare(highestBrought, highestBrought + 4, brought, brought + 4)) {
    std::copy(brought, brought + 4, highestBrought);
    changed = true;
  }
  releaseFileSeen = true;
  for (const std::string& fingerprint : revokes) {
    if (std::find(revoked.begin(), revoked.end(), fingerprint) == revoked.end()) {
      revoked.push_back(fingerprint);
      changed = true;
    }
  }
  return changed;
}

std::string FormatStateText(const UpdateState& state) {
  std::string text = "# What this installation of QuonUpdate remembers. Written by the updater.\n";
  if (state.releaseFileSeen) text += "release-file = " + VersionText(state.highestBrought) + "\n";
  for (const std::string& fingerprint : state.revoked) text += "revoked = " + fingerprint + "\n";
  for (const std::string& line : state.otherLines) text += line + "\n";
  return text;
}

UpdateState ParseStateText(std::string_view text, const std::string& path, std::vector<std::string>& notes) {
  UpdateState state;
  int number = 0;
  for (std::string_view rest = text, raw; NextLine(rest, raw);) {
    ++number;
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    const std::string key =
        equals == std::string_view::npos ? std::string() : AsciiUpper(TrimBlanks(line.substr(0, equals)));
    const std::string value =
        equals == std::string_view::npos ? std::string() : std::string(TrimBlanks(line.substr(equals + 1)));
    bool good = !key.empty();
    if (key == kReleaseFileKey) {
      uint16_t version[4];
      good = ParseVersionWords(value, version) && !state.releaseFileSeen;
      if (good) state.Remember(version, {});
    } else if (key == kRevokedKey) {
      const std::string fingerprint = NormalizeFingerprint(value);
      good = !fingerprint.empty();
      if (good && std::find(state.revoked.begin(), state.revoked.end(), fingerprint) == state.revoked.end())
        state.revoked.push_back(fingerprint);
    } else if (good) {
      state.otherLines.emplace_back(line);
    }
    if (!good)
      notes.push_back("The update state " + path + " has a line that cannot be read (line " + std::to_string(number) +
                      "); it is left out.");
  }
  return state;
}

void RememberRelease(const std::string& path, const uint16_t brought[4], const std::vector<std::string>& revokes) {
  StateReading reading = ReadUpdateState(path);
  for (const std::string& note : reading.notes) TraceMessage("Update state:", note);
  if (!reading.state.Remember(brought, revokes)) return;
  std::string why;
  if (!WriteUpdateState(path, reading.state, why)) {
    TraceMessage("Update state: cannot write the state; what it holds and the build's own list still apply:", why);
  }
}

}  // namespace quon
