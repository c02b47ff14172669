#include "update/AdminPolicy.h"

#include <algorithm>

#include "base/BuildConfig.h"
#include "base/CText.h"

namespace quon {

namespace msg {
const char kUpdatesManaged[] = "Updates of QUON are managed by your administrator.";
}  // namespace msg

namespace {

std::string Lower(std::string_view text) { return AsciiLower(text); }

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool ParseNumber(std::string_view text, uint32_t max, uint32_t& out) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  out = static_cast<uint32_t>(std::stoul(std::string(text)));
  return out <= max;
}

bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  if (!IsAsciiAlnum(host.front()) || !IsAsciiAlnum(host.back())) return false;
  return std::all_of(host.begin(), host.end(), [](unsigned char c) { return IsAsciiAlnum(c) || c == '.' || c == '-'; });
}

// "http://host[:port][/path]" with the schemes allowed; the reason when not.
std::optional<std::string> ParseUrl(std::string_view text, bool allowHttps, bool allowPath, bool& secure,
                                    std::string& host, uint16_t& port, std::string& path) {
  std::string_view rest;
  if (Lower(text.substr(0, 7)) == "http://") {
    secure = false;
    rest = text.substr(7);
  } else if (allowHttps && Lower(text.substr(0, 8)) == "https://") {
    secure = true;
    rest = text.substr(8);
  } else {
    return std::string(allowHttps ? "is not an http:// or https:// URL" : "is not an http:// URL");
  }
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  path = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash));
  port = secure ? 443 : 80;
  const size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    uint32_t n = 0;
    if (!ParseNumber(authority.substr(colon + 1), 65535, n) || n == 0)
      return std::string("names no port from 1 to 65535");
    port = static_cast<uint16_t>(n);
    authority = authority.substr(0, colon);
  }
  if (!IsHostName(authority)) return std::string("names no host (letters, digits, '.' and '-')");
  host = std::string(authority);
  if (!allowPath) {
    if (!path.empty() && path != "/") return std::string("may name a host and a port only");
    path.clear();
  } else if (path == "/") {
    path.clear();
  } else if (!path.empty() &&
             path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~/-") !=
                 std::string::npos) {
    return std::string("has a path with other characters than letters, digits and . _ ~ / -");
  }
  return std::nullopt;
}

std::optional<bool> OnOff(std::string_view value) {
  const std::string v = Lower(value);
  if (v == "on") return true;
  if (v == "off") return false;
  return std::nullopt;
}

}  // namespace

std::string AdminPolicy::HoldAtText() const {
  std::string text;
  for (uint16_t part : holdAt) text += (text.empty() ? "" : ".") + std::to_string(part);
  return text;
}

bool AdminPolicy::HoldAllows(std::string_view version) const {
  size_t start = 0;
  for (uint16_t part : holdAt) {
    const size_t dot = version.find('.', start);
    uint32_t n = 0;
    if (start > version.size() || !ParseNumber(version.substr(start, dot - start), 65535, n) || n != part) return false;
    start = dot == std::string_view::npos ? version.size() + 1 : dot + 1;
  }
  return true;
}

PolicyReading PolicyFromValues(const std::string& source, std::vector<PolicyValue> values, bool httpsOnly) {
  PolicyReading reading;
  reading.source = source;
  reading.found = true;
  AdminPolicy& policy = reading.policy;
  std::vector<std::string> seen;
  auto fail = [&](const PolicyValue& v, const std::string& why) {
    reading.ok = false;
    reading.error = "The administrator's policy " + source + ", " + v.where + ": " + v.key + " " + why + ".";
    return reading;
  };
  for (const PolicyValue& v : values) {
    const std::string key = Lower(v.key);
    const std::string_view value = v.value;
    if (key != "server" && key != "proxy" && key != "updates" && key != "holdat" && key != "rollback" &&
        key != "resultreports") {
      reading.warnings.push_back("The administrator's policy " + source + ", " + v.where + ": the key " + v.key +
                                 " is not known to this version of QuonUpdate; it is ignored.");
      continue;
    }
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) return fail(v, "is given more than once");
    seen.push_back(key);
    if (key == "server") {
      PolicyServer server;
      if (auto why = ParseUrl(value, true, true, server.secure, server.host, server.port, server.path)) {
        return fail(v, "= " + v.value + " " + *why);
      }
      if (httpsOnly && !server.secure) {
        return fail(v, "= " + v.value + " is refused: this QuonUpdate talks to its update server over https only");
      }
      policy.server = server;
    } else if (key == "proxy") {
      const std::string lower = Lower(value);
      if (lower == "system") {
        policy.proxy = {};
      } else if (lower == "direct") {
        policy.proxy.kind = ProxySetting::Kind::Direct;
      } else {
        bool secure = false;
        std::string path;
        policy.proxy.kind = ProxySetting::Kind::Fixed;
        if (auto why = ParseUrl(value, false, false, secure, policy.proxy.host, policy.proxy.port, path)) {
          return fail(v, "= " + v.value + " is not system, direct or http://host:port (it " + *why + ")");
        }
      }
    } else if (key == "holdat") {
      policy.holdAt.clear();
      size_t start = 0;
      bool good = !value.empty();
      while (good) {
        const size_t dot = value.find('.', start);
        uint32_t n = 0;
        good = policy.holdAt.size() < 4 && ParseNumber(value.substr(start, dot - start), 65535, n);
        if (good) policy.holdAt.push_back(static_cast<uint16_t>(n));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
      }
      if (!good) return fail(v, "= " + v.value + " is not a version prefix such as 6.0.122");
    } else {
      const std::optional<bool> on = OnOff(value);
      if (!on) return fail(v, "= " + v.value + " is neither on nor off");
      (key == "updates" ? policy.updates : key == "rollback" ? policy.rollback : policy.resultReports) = *on;
    }
  }
  reading.values = std::move(values);
  return reading;
}

PolicyReading ParsePolicyFile(std::string_view text, const std::string& path, bool httpsOnly) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<PolicyValue> values;
  size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = Trim(line.substr(0, line.find_first_of("#;")));
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    const std::string where = "line " + std::to_string(lineNumber);
    if (eq == std::string_view::npos || Trim(line.substr(0, eq)).empty()) {
      PolicyReading reading;
      reading.ok = false;
      reading.found = true;
      reading.source = path;
      reading.error = "The administrator's policy " + path + ", " + where + ": \"" + std::string(line.substr(0, 80)) +
                      "\" is not a line Key = value.";
      return reading;
    }
    values.push_back({std::string(Trim(line.substr(0, eq))), std::string(Trim(line.substr(eq + 1))), where});
  }
  return PolicyFromValues(path, std::move(values), httpsOnly);
}

PolicyReading ReadAdminPolicy() { return ReadAdminPolicy(std::string_view(kUpdateScheme) == "https"); }

std::vector<std::string> DescribePolicy(const PolicyReading& reading) {
  std::vector<std::string> lines;
  if (!reading.ok) {
    lines.push_back(reading.error);
    return lines;
  }
  if (!reading.found) {
    lines.push_back("Administrator's policy: none (" + reading.source + " does not exist)");
    return lines;
  }
  lines.push_back("Administrator's policy: " + reading.source);
  for (const PolicyValue& v : reading.values) lines.push_back("  " + v.key + " = " + v.value + "  (" + v.where + ")");
  for (const std::string& warning : reading.warnings) lines.push_back(warning);
  return lines;
}

}  // namespace quon
