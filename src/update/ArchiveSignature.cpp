#include "update/ArchiveSignature.h"

#include "base/BuildConfig.h"
#include "update/CabSignature.h"

namespace quon {

const char* SignatureProblemText(SignatureProblem problem) {
  switch (problem) {
    case SignatureProblem::None: return "The update archive is signed by the vendor.";
    case SignatureProblem::Unreadable: return "The update archive could not be read.";
    case SignatureProblem::NotAnArchive: return "The downloaded file is not an update archive.";
    case SignatureProblem::Unsigned: return "The update archive is not signed.";
    case SignatureProblem::Damaged: return "The signature of the update archive is damaged or incomplete.";
    case SignatureProblem::Tampered: return "The update archive has been changed since it was signed.";
    case SignatureProblem::ForeignSigner: return "The update archive is signed by someone other than the vendor.";
    case SignatureProblem::NoTrustedSigner:
      return "This updater has no vendor certificate to check the signature of the update archive against.";
    case SignatureProblem::WeakDigest:
      return "The update archive is signed with a digest algorithm that is no longer accepted.";
    case SignatureProblem::WeakCertificateDigest:
      return "The certificate that signed the update archive is signed with a digest algorithm that is no longer "
             "accepted.";
    case SignatureProblem::NotACodeSigner:
      return "The update archive is signed with a certificate that is not one for signing code.";
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
  // The expensive part last: the whole archive through the digest.
  std::unique_ptr<Hasher> hasher = backend.NewHasher(statement.kind);
  if (!hasher) return SignatureProblem::Damaged;
  if (!DigestCabinet(source, layout, *hasher)) return SignatureProblem::Unreadable;
  return hasher->Finish() == statement.digest ? SignatureProblem::None : SignatureProblem::Tampered;
}

SignatureVerdict VerifyArchiveWith(const std::string& archivePath, const SignerIdentity& signer,
                                   const SignatureBackend& backend) {
  if (signer.certificateDer.empty()) return MakeSignatureVerdict(SignatureProblem::NoTrustedSigner);
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

SignatureVerdict CheckUpdateArchiveWith(const std::string& archivePath, const SignatureBackend& backend) {
  if (!ArchiveSignatureRequired()) return SignatureVerdict{true, SignatureProblem::None, ""};
  return VerifyArchiveWith(archivePath, ConfiguredSigner(), backend);
}

}  // namespace cabsig

// The public checks, on the system's backend (ArchiveSignature_*.cpp).
SignatureVerdict VerifyArchiveSignature(const std::string& archivePath, const SignerIdentity& signer) {
  return cabsig::VerifyArchiveWith(archivePath, signer, cabsig::PlatformSignatureBackend());
}

SignatureVerdict CheckUpdateArchive(const std::string& archivePath) {
  return cabsig::CheckUpdateArchiveWith(archivePath, cabsig::PlatformSignatureBackend());
}

std::vector<std::string> TrustedSignerFingerprints() {
  std::vector<std::string> fingerprints;
  const std::string_view der = UpdateSignerCertificate();
  std::unique_ptr<cabsig::Hasher> hasher = cabsig::PlatformSignatureBackend().NewHasher(cabsig::DigestKind::Sha256);
  if (!ArchiveSignatureRequired() || der.empty() || !hasher) return fingerprints;
  hasher->Update(reinterpret_cast<const unsigned char*>(der.data()), der.size());
  std::string hex;
  for (unsigned char byte : hasher->Finish()) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  fingerprints.push_back(hex);
  return fingerprints;
}

SignerIdentity ConfiguredSigner() { return SignerIdentity{std::string(UpdateSignerCertificate())}; }

bool ArchiveSignatureRequired() { return kUpdateRequireSignature; }

}  // namespace quon
