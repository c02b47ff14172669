// How a failed libcurl transfer is reported: with the code and text that
// WinINet gives the same failure, so that callers see one transport.
#pragma once
#include <curl/curl.h>

#include <cstdint>

namespace quon {

[[noreturn]] void ThrowSecureChannelError(uint32_t code);

// `clientCertificateAsked`: the server asked for a client certificate
// during the handshake (none is ever given).
[[noreturn]] void ThrowCurlError(CURLcode code, const char* detail, long verifyResult, bool clientCertificateAsked);

}  // namespace quon
