// The administrator's policy: where the updater's server is, which proxy it
// takes, whether it updates at all, the version a site is held at, and
// whether the last installation is kept for a rollback. It is read only
// from places an administrator controls: on Linux the build's policy file
// (/etc/quon/QuonUpdate.conf unless the build names another), on Windows
// the REG_SZ values under HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Quon\QuonUpdate
// (the 64-bit view where there is one). Never from the product folder, the
// user's settings or the environment.
//
// The file holds "Key = value" lines; '#' and ';' start a comment that runs
// to the end of the line; keys are compared without regard to case. An
// absent file (or folder, or registry key) is no policy; one that exists but
// cannot be read, a line that is not "Key = value", a known key given twice
// or with a bad value is an error that names where it is, and the run ends
// on it: an updater never falls back silently to its built-in server. An
// unknown key is a warning, so that a newer policy does not break an older
// updater.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/HttpTransport.h"

namespace quon {

inline constexpr char kPolicyRegistryKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Quon\\QuonUpdate";
// Larger policy files are refused; a real one holds a few lines.
constexpr size_t kMaxPolicyBytes = 64 * 1024;

// The update server a policy names.
struct PolicyServer {
  bool secure = false;
  std::string host;
  uint16_t port = 80;
  std::string path;  // empty: the build's own service page
};

struct AdminPolicy {
  std::optional<PolicyServer> server;
  ProxySetting proxy;
  bool updates = true;
  // HoldAt: 1 to 4 version numbers that an installed version must start
  // with; empty when the site is not held.
  std::vector<uint16_t> holdAt;
  bool rollback = true;
  bool resultReports = true;

  std::string HoldAtText() const;
  // Whether `version` ("a.b.c.d") lies within HoldAt; true when not held.
  bool HoldAllows(std::string_view version) const;
};

// One value of the policy as it was read, and where.
struct PolicyValue {
  std::string key;
  std::string value;
  std::string where;  // "line 3" of the file, or the registry value's name
};

struct PolicyReading {
  bool ok = true;
  std::string error;  // names the file or key, and the line
  std::vector<std::string> warnings;
  std::string source;  // the file or the registry key
  bool found = false;  // false: there is no policy (the defaults hold)
  std::vector<PolicyValue> values;
  AdminPolicy policy;
};

// Builds the policy of the values read from `source`. `httpsOnly`: the
// build talks to its server over HTTPS only, so an http Server is refused.
PolicyReading PolicyFromValues(const std::string& source, std::vector<PolicyValue> values, bool httpsOnly);
// The policy file's text, read from `path`.
PolicyReading ParsePolicyFile(std::string_view text, const std::string& path, bool httpsOnly);

// The administrator's policy of this system (AdminPolicy_posix.cpp,
// AdminPolicy_win.cpp), for a build that talks over HTTPS only or not.
PolicyReading ReadAdminPolicy();
PolicyReading ReadAdminPolicy(bool httpsOnly);

// Lines that say what is in force and where it came from, for --version.
std::vector<std::string> DescribePolicy(const PolicyReading& reading);

// Messages of the policy.
namespace msg {
extern const char kUpdatesManaged[];
}  // namespace msg

}  // namespace quon
