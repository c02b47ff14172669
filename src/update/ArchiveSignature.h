// The code signature of an update archive. A cabinet carries it the way
// signed cabinets do: a PKCS#7 SignedData block appended after the cabinet
// data, located through the header's reserved area, whose content states a
// digest of the cabinet's bytes. An archive is accepted only when that
// signature is intact, uses SHA-256 or stronger, covers exactly the bytes of
// the file, and was made with the vendor's certificate or with a
// certificate the vendor's certificate issued for signing code (one level:
// the signer's certificate names the vendor's certificate as issuer, carries
// a valid signature by its key made with SHA-256 or stronger, is no
// certificate authority, and allows digital signatures and code signing
// where it names its uses). Chains of trust through the system's
// certificate store play no part: the vendor's certificates compiled into
// the build are the only trust anchors (several while the vendor moves to a
// new one). A signer or vendor certificate whose fingerprint is revoked is
// refused, and so is everything a revoked vendor certificate issued.
#pragma once
#include <string>
#include <vector>

namespace quon {

enum class SignatureProblem {
  None,                   // signed by the vendor, intact
  Unreadable,             // the file could not be opened or read
  NotAnArchive,           // not a cabinet at all
  Unsigned,               // a cabinet without a signature
  Damaged,                // the signature block is malformed, truncated or does not verify
  Tampered,               // the signature is fine but the archive's bytes are not those it covers
  ForeignSigner,          // intact, but made with a certificate other than the vendor's
  NoTrustedSigner,        // this build names no vendor certificate to check against
  WeakDigest,             // made with a digest algorithm no longer accepted (SHA-1, MD5)
  WeakCertificateDigest,  // the issued signer's certificate is signed with such a digest
  NotACodeSigner,         // the issued signer's certificate is not one for signing code
  Revoked,                // the signer's or its issuer's certificate has been revoked
};

struct SignatureVerdict {
  bool ok = false;
  SignatureProblem problem = SignatureProblem::Unreadable;
  std::string reason;  // a sentence for the user
};

// The certificates whose signatures are accepted, in DER form, and the
// fingerprints (FingerprintOf) of certificates refused all the same.
struct SignerIdentity {
  std::vector<std::string> certificatesDer;
  std::vector<std::string> revoked;
};

// The SHA-256 of `der` in 64 lowercase hex digits.
std::string FingerprintOf(const std::string& der);
// A fingerprint as written by a person (uppercase, colons, spaces around)
// in the form FingerprintOf gives; empty when `text` is not one.
std::string NormalizeFingerprint(const std::string& text);

// The sentence that tells the user what `problem` means.
const char* SignatureProblemText(SignatureProblem problem);
// The verdict on `problem`; `named` is what its sentence names where it
// names something: the digest algorithm no longer accepted ("SHA-1"), or
// why a certificate is not one for signing code.
SignatureVerdict MakeSignatureVerdict(SignatureProblem problem, const std::string& named = std::string());

// Checks the signature of the archive at `archivePath` against `signer`.
// The file is read in blocks; nothing of it is kept in memory beyond the
// signature block, and nothing is written.
SignatureVerdict VerifyArchiveSignature(const std::string& archivePath, const SignerIdentity& signer);

// The vendor's certificates this build was configured with (none when
// none) and the fingerprints it refuses.
SignerIdentity ConfiguredSigner();
// Whether this build refuses archives without a valid signature.
bool ArchiveSignatureRequired();
// The SHA-256 of each certificate (DER) a signing build trusts, in
// lowercase hex as sha256sum prints it; none in a build that requires no
// signature.
std::vector<std::string> TrustedSignerFingerprints();

// What the update run asks before unpacking: when the build requires a
// signature, the verdict of VerifyArchiveSignature against the configured
// signer, refusing besides the revocations remembered in the state file at
// `statePath` (UpdateState.h; what of it cannot be read is told in the
// log, and the build's own list applies all the same); otherwise an
// accepting verdict without looking at either file.
SignatureVerdict CheckUpdateArchive(const std::string& archivePath, const std::string& statePath);

}  // namespace quon
