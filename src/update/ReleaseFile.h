// The release file of a signed update archive: the versions the update
// applies to and the version it brings, under the archive's signature. The
// reply that offers an update is not signed, so without it a server could
// serve an older genuine archive as the newest (a rollback) and name any
// version for it (freezing the product at a version no update follows).
// The packing tool adds the file when it signs (Update.List does not name
// it, so updaters that do not know it leave it alone), and an updater that
// requires signed archives holds the unpacked archive to it.
//
// The file is text, one "key = value" a line (keys in any case, blanks
// around the '=' and at the ends ignored, '#' starting a comment line,
// unknown keys ignored, lines ending in LF or CR LF):
//   applies-to = 6.0.121.3, 6.0.121.*   the installed versions it is for
//   brings     = 6.0.122.3              the version it installs
//   revokes    = <SHA-256 fingerprint>  a signer certificate no longer
//                                       trusted (any number of lines)
// A version is four numbers 0..65535 joined by dots; in applies-to a part
// may be '*' (any number), and versions are separated by commas or blanks.
// A fingerprint is the SHA-256 of the certificate's DER form in hex
// (uppercase and colons accepted). Updaters that require signed archives
// remember the revocations of every release file they accept
// (UpdateState.h); older updaters ignore the key.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quon {

inline constexpr char kReleaseFileName[] = "Update.Release";
// The largest release file read; a real one holds two short lines.
constexpr size_t kMaxReleaseFileBytes = 4096;

// A version with '*' parts (-1) allowed.
struct VersionPattern {
  int32_t parts[4];
  bool Matches(const uint16_t version[4]) const;
};

struct ReleaseInfo {
  std::vector<VersionPattern> appliesTo;
  uint16_t brings[4] = {0, 0, 0, 0};
  std::vector<std::string> revokes;  // fingerprints, as FingerprintOf gives them
};

// The release file's text for these values, or nullopt with the reason in
// `problem` when they are not versions as the file holds them.
std::optional<std::string> FormatReleaseText(std::string_view appliesTo, std::string_view brings, std::string& problem,
                                             const std::vector<std::string>& revokes = {});
// The values of a release file's text; nullopt when it lacks one of them or
// holds one that is not a version.
std::optional<ReleaseInfo> ParseReleaseText(std::string_view text);

// What the release file of an unpacked archive allows.
struct ReleaseVerdict {
  bool ok = true;
  std::string reason;                  // a sentence for the user when not ok
  std::string newVersion;              // the version to record: the signed one, or the reply's when there is no file
  bool versionUnknown = false;         // an offline archive whose version is not known, or is named twice apart
  std::optional<ReleaseInfo> release;  // when ok: the release file's values, where there is one
};

// Where an installation has once accepted an archive with a release file,
// the sentence that refuses one without.
extern const char kReleaseFileRequired[];

// Holds the release text (when there is one) to the installed version (it
// must apply to it, and bring a higher one) and to the version the server's
// reply names. Without a file the reply's
// version stands, as for archives signed by other tools.
ReleaseVerdict CheckRelease(const std::optional<std::string>& text, const std::string& installedVersion,
                            const std::string& repliedVersion);

// In a build that requires signed archives, CheckRelease on the release
// file in `unpackDir` (ending in a separator); in any other build the
// reply's version stands and nothing is read. `releaseFileRequired`: an
// archive without the file is refused (kReleaseFileRequired).
ReleaseVerdict CheckReleaseFile(const std::string& unpackDir, const std::string& installedVersion,
                                const std::string& repliedVersion, bool releaseFileRequired = false);

// For an archive an administrator installs from a file: the release file
// in `unpackDir` is held to the installed version in every build, when the
// archive has one; `brings` (the administrator's, may be empty) must then
// agree with it, and stands alone when there is none. Without either the
// version is unknown.
ReleaseVerdict CheckOfflineRelease(const std::string& unpackDir, const std::string& installedVersion,
                                   const std::string& brings, bool releaseFileRequired = false);

}  // namespace quon
