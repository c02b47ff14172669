#include "update/ArchiveSignature.h"

#include <algorithm>

#include "base/BuildConfig.h"
#include "base/Trace.h"
#include "update/CabSignature.h"
#include "update/UpdateState.h"

namespace quon {

const char* SignatureProblemText(SignatureProblem problem) {
  switch (problem) {
    case SignatureProblem::None:
      return "The update archive is signed by the vendor.";
    case SignatureProblem::Unreadable:
      return "The update archive could not be read.";
    case SignatureProblem::NotAnArchive:
      return "The downloaded file is not an update archive.";
    case SignatureProblem::Unsigned:
      return "The update archive is not signed.";
    case SignatureProblem::Damaged:
      return "The signature of the update archive is damaged or incomplete.";
    case SignatureProblem::Tampered:
      return "The update archive has been changed since it was signed.";
    case SignatureProblem::ForeignSigner:
      return "The update archive is signed by someone other than the vendor.";
    case SignatureProblem::NoTrustedSigner:
      return "This updater has no vendor certificate to check the signature of the update archive against.";
    case SignatureProblem::WeakDigest:
      return "The update archive is signed with a digest algorithm that is no longer accepted.";
    case SignatureProblem::WeakCertificateDigest:
      return "The certificate that signed the update archive is signed with a digest algorithm that is no longer "
             "accepted.";
    case SignatureProblem::NotACodeSigner:
      return "The update archive is signed with a certificate that is not one for signing code.";
    case SignatureProblem::Revoked:
      return "The update archive is signed with a certificate that has been revoked.";
  }
  return "The signature of the update archive could not be checked.";
}

SignatureVerdict MakeSignatureVerdict(SignatureProblem problem, const std::string& named) {
  std::string reason = SignatureProblemText(problem);
  if (!named.empty()) {
    switch (problem) {
      case SignatureProblem::WeakDigest:
        reason = "The update archive is signed with " + named + ", a digest algorithm that is no longer accepted.";
        break;
      case SignatureProblem::WeakCertificateDigest:
        reason = "The certificate that signed the update archive is signed with " + named +
                 ", a digest algorithm that is no longer accepted.";
        break;
      case SignatureProblem::NotACodeSigner:
        reason = "The update archive is signed with a certificate that is not one for signing code: " + named + ".";
        break;
      default:
        break;
    }
  }
  return SignatureVerdict{problem == SignatureProblem::None, problem, reason};
}

namespace cabsig {

SignatureProblem CheckIssuedSigner(const CertificateProfile& certificate, IndirectData& statement) {
  if (!certificate.weakDigest.empty()) {
    statement.weakDigest = certificate.weakDigest;
    return SignatureProblem::WeakCertificateDigest;
  }
  if (certificate.unreadable) {
    statement.notForCode = "its extensions cannot be read";
  } else if (certificate.isCa) {
    statement.notForCode = "it is a certificate authority";
  } else if (certificate.hasKeyUsage && !certificate.digitalSignature) {
    statement.notForCode = "its key usage does not allow digital signatures";
  } else if (certificate.hasExtendedKeyUsage && !certificate.codeSigning) {
    statement.notForCode = "its extended key usage does not name code signing";
  } else {
    return SignatureProblem::None;
  }
  return SignatureProblem::NotACodeSigner;
}

SignatureProblem VerifySignedCabinet(ByteSource& source, const SignerIdentity& signer, const SignatureBackend& backend,
                                     IndirectData* named) {
  IndirectData scratch;
  IndirectData& statement = named ? *named : scratch;
  Layout layout;
  if (SignatureProblem p = ReadLayout(source, layout); p != SignatureProblem::None) return p;
  std::string block(layout.signatureSize, '\0');
  if (!source.ReadAt(layout.signatureOffset, block.data(), block.size())) return SignatureProblem::Unreadable;
  const auto* der = reinterpret_cast<const unsigned char*>(block.data());
  const size_t derSize = SignatureDerSize(der, block.size());
  if (derSize == 0) return SignatureProblem::Damaged;
  if (!ParseSignedDataHead(der, derSize, statement)) {
    return statement.weakDigest.empty() ? SignatureProblem::Damaged : SignatureProblem::WeakDigest;
  }
  block.resize(derSize);
  if (SignatureProblem p = backend.CheckSignatureBlock(block, signer, statement); p != SignatureProblem::None) return p;
  for (const std::string* der : {&statement.signerDer, &statement.anchorDer}) {
    const std::string fingerprint = FingerprintOf(*der);
    if (std::find(signer.revoked.begin(), signer.revoked.end(), fingerprint) != signer.revoked.end())
      return SignatureProblem::Revoked;
  }
  // The expensive part last: the whole archive through the digest.
  std::unique_ptr<Hasher> hasher = backend.NewHasher(statement.kind);
  if (!hasher) return SignatureProblem::Damaged;
  if (!DigestCabinet(source, layout, *hasher)) return SignatureProblem::Unreadable;
  return hasher->Finish() == statement.digest ? SignatureProblem::None : SignatureProblem::Tampered;
}

SignatureVerdict VerifyArchiveWith(const std::string& archivePath, const SignerIdentity& signer,
                                   const SignatureBackend& backend) {
  if (std::all_of(signer.certificatesDer.begin(), signer.certificatesDer.end(),
                  [](const std::string& der) { return der.empty(); }))
    return MakeSignatureVerdict(SignatureProblem::NoTrustedSigner);
  SignatureProblem problem;
  IndirectData named;
  {
    FileSource source(archivePath);
    problem = source.IsOpen() ? VerifySignedCabinet(source, signer, backend, &named) : SignatureProblem::Unreadable;
  }
  if (problem == SignatureProblem::None) problem = backend.SystemVerdict(archivePath);
  return MakeSignatureVerdict(problem,
                              problem == SignatureProblem::NotACodeSigner ? named.notForCode : named.weakDigest);
}

SignatureVerdict CheckUpdateArchiveWith(const std::string& archivePath, const std::string& statePath,
                                        const SignatureBackend& backend) {
  if (!ArchiveSignatureRequired()) return SignatureVerdict{true, SignatureProblem::None, ""};
  SignerIdentity signer = ConfiguredSigner();
  const StateReading state = ReadUpdateState(statePath);
  for (const std::string& note : state.notes) TraceMessage("Update state:", note);
  signer.revoked.insert(signer.revoked.end(), state.state.revoked.begin(), state.state.revoked.end());
  return VerifyArchiveWith(archivePath, signer, backend);
}

}  // namespace cabsig

// The public checks, on the system's backend (ArchiveSignature_*.cpp).
SignatureVerdict VerifyArchiveSignature(const std::string& archivePath, const SignerIdentity& signer) {
  return cabsig::VerifyArchiveWith(archivePath, signer, cabsig::PlatformSignatureBackend());
}

SignatureVerdict CheckUpdateArchive(const std::string& archivePath, const std::string& statePath) {
  return cabsig::CheckUpdateArchiveWith(archivePath, statePath, cabsig::PlatformSignatureBackend());
}

std::string FingerprintOf(const std::string& der) {
  std::unique_ptr<cabsig::Hasher> hasher = cabsig::PlatformSignatureBackend().NewHasher(cabsig::DigestKind::Sha256);
  if (der.empty() || !hasher) return std::string();
  hasher->Update(reinterpret_cast<const unsigned char*>(der.data()), der.size());
  std::string hex;
  for (unsigned char byte : hasher->Finish()) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::string NormalizeFingerprint(const std::string& text) {
  std::string hex;
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  if (first == std::string::npos) return std::string();
  for (size_t i = first; i <= last; ++i) {
    const char c = text[i];
    if (c == ':') continue;
    if (c >= '0' && c <= '9') {
      hex += c;
    } else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
      hex += static_cast<char>(c | 0x20);
    } else {
      return std::string();
    }
  }
  return hex.size() == 64 ? hex : std::string();
}

std::vector<std::string> TrustedSignerFingerprints() {
  std::vector<std::string> fingerprints;
  if (!ArchiveSignatureRequired()) return fingerprints;
  for (const std::string& der : ConfiguredSigner().certificatesDer) {
    std::string fingerprint = FingerprintOf(der);
    if (!fingerprint.empty()) fingerprints.push_back(std::move(fingerprint));
  }
  return fingerprints;
}

SignerIdentity ConfiguredSigner() {
  SignerIdentity identity;
  for (std::string_view der : UpdateSignerCertificates()) identity.certificatesDer.emplace_back(der);
  const std::string_view revoked = UpdateRevokedCertificates();
  for (size_t at = 0; at < revoked.size();) {
    const size_t end = std::min(revoked.find(';', at), revoked.size());
    identity.revoked.emplace_back(revoked.substr(at, end - at));
    at = end + 1;
  }
  return identity;
}

bool ArchiveSignatureRequired() { return kUpdateRequireSignature; }

}  // namespace quon
