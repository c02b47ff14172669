// Signs a cabinet the way signed cabinets are laid out: a 20-byte reserved
// area in the header points to a PKCS#7 SignedData appended after the
// cabinet, whose content states the SHA-256 digest of the cabinet's bytes.
#pragma once
#include <string>

namespace quon::pack {

// Writes `out` as a signed copy of the unsigned cabinet `in`, signed with
// the certificate and private key in the given files (PEM or DER). The
// result is written to a temporary file beside `out` and renamed into
// place, so a failure leaves no file under that name. False with `problem`
// set when it cannot.
bool SignCabinetFile(const std::string& in, const std::string& out, const std::string& certFile,
                     const std::string& keyFile, std::string& problem);

}  // namespace quon::pack
