// Compile-time configuration of this build (generated build_config.cpp).
#pragma once
#include <string_view>

namespace quon {

extern const char kUpdateHost[];      // the update server's host
extern const unsigned short kUpdatePort;
extern const char kUpdatePath[];      // the update service page
// The key shared with the update server; every scramble operation uses it
// unless a caller passes another key explicitly.
std::string_view ScrambleKey();

}  // namespace quon
