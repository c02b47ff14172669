// What this installation remembers of the archives it has accepted, in a
// file only administrators may write (Linux: the build's state file,
// /var/lib/quon/QuonUpdate.state unless the build names another; Windows:
// %ProgramData%\Quon\QuonUpdate\state in a folder only administrators and
// the system may change, unless the build names another file):
//   - the fingerprints of signer certificates that release files revoked,
//     never forgotten, whose archives are refused from then on;
//   - that an archive with a signed release file was accepted, and the
//     highest version such an archive brought: from then on a signing build
//     refuses archives without a release file.
// Both are remembered once an archive's signature and release file have
// verified, whether or not its installation then succeeds.
//
// The file is text, one "key = value" a line, '#' starting a comment line:
//   release-file = 6.0.122.3     the highest version a release file brought
//   revoked = <64 lowercase hex digits>
// Lines with other keys are kept as they are when the file is rewritten, so
// that an older updater does not drop what a newer one remembers. A line
// that cannot be read is told and left out; what can be read still applies.
// A file that another user could change is told and not applied at all.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quon {

// Larger state files are refused; thousands of revocations fit.
constexpr size_t kMaxStateBytes = 256 * 1024;

struct UpdateState {
  bool releaseFileSeen = false;
  uint16_t highestBrought[4] = {0, 0, 0, 0};
  std::vector<std::string> revoked;  // fingerprints, as FingerprintOf gives them
  std::vector<std::string> otherLines;

  // Adds what an accepted release file says; true when anything changed.
  bool Remember(const uint16_t brought[4], const std::vector<std::string>& revokes);
};

struct StateReading {
  std::string path;
  bool found = false;              // there is a file (or something) under the name
  UpdateState state;               // what of it applies
  std::vector<std::string> notes;  // for the log: what could not be read or trusted
};

// The state file's text, and the state of a text (with a note per line that
// cannot be read).
std::string FormatStateText(const UpdateState& state);
UpdateState ParseStateText(std::string_view text, const std::string& path, std::vector<std::string>& notes);

// The build's state file (UpdateState_posix.cpp, UpdateState_win.cpp).
std::string StateFilePath();
// Reads the state at `path`; a missing file is an empty state without a
// note.
StateReading ReadUpdateState(const std::string& path);
// Replaces the state at `path` by `state` (creating its folder, protected,
// where it is missing); false with the reason in `why` where this user
// cannot write it.
bool WriteUpdateState(const std::string& path, const UpdateState& state, std::string& why);

// Reads the state at `path`, adds what an accepted release file says and
// writes it back when that changes it; what fails is told in the log.
void RememberRelease(const std::string& path, const uint16_t brought[4], const std::vector<std::string>& revokes);

}  // namespace quon
