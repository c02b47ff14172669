// Compile-time configuration of this build (generated build_config.cpp).
#pragma once
#include <string_view>
#include <vector>

namespace quon {

extern const char kUpdateHost[];  // the update server's host
extern const unsigned short kUpdatePort;
extern const char kUpdatePath[];  // the update service page
extern const char kPolicyFile[];  // the administrator's policy file (Linux)
extern const char kStateFile[];   // the updater's state file; empty on Windows: the default
// The key shared with the update server; every scramble operation uses it
// unless a caller passes another key explicitly.
std::string_view ScrambleKey();

extern const char kUpdateScheme[];  // "http" or "https"
// Whether an update archive must carry a valid signature by the vendor's
// certificate before it is unpacked.
extern const bool kUpdateRequireSignature;
// The vendor's code-signing certificates in DER form, each a trust anchor;
// none when the build names none.
std::vector<std::string_view> UpdateSignerCertificates();
// The SHA-256 fingerprints of certificates whose archives are refused even
// when a trusted certificate issued them, in lowercase hex, separated by
// ';'; empty when none.
std::string_view UpdateRevokedCertificates();
// Certificates (PEM) that HTTPS trusts besides the system's store; empty
// unless the build adds some.
std::string_view UpdateExtraCaCertificates();

}  // namespace quon
