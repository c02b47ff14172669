// Compile-time configuration of this build (generated build_config.cpp).
#pragma once
#include <string_view>

namespace quon {

extern const char kUpdateHost[];      // the update server's host
extern const unsigned short kUpdatePort;
extern const char kUpdatePath[];      // the update service page
extern const char kPolicyFile[];      // the administrator's policy file (Linux)
// The key shared with the update server; every scramble operation uses it
// unless a caller passes another key explicitly.
std::string_view ScrambleKey();

extern const char kUpdateScheme[];    // "http" or "https"
// Whether an update archive must carry a valid signature by the vendor's
// certificate before it is unpacked.
extern const bool kUpdateRequireSignature;
// The vendor's code-signing certificate in DER form; empty when the build
// names none.
std::string_view UpdateSignerCertificate();
// Certificates (PEM) that HTTPS trusts besides the system's store; empty
// unless the build adds some.
std::string_view UpdateExtraCaCertificates();

}  // namespace quon
