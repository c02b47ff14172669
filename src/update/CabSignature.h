// The parts of a signed cabinet that do not depend on a crypto library: where
// the signature block lies, which bytes its digest covers, and the small
// DER structures around the digest. The platform verifiers
// (ArchiveSignature_posix.cpp, ArchiveSignature_win.cpp) build on this.
#pragma once
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "update/ArchiveSignature.h"

namespace quon::cabsig {

// Random access to the archive's bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly `n` bytes at `offset`; false when they are not all there.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t n) = 0;
};

class FileSource : public ByteSource {
 public:
  explicit FileSource(const std::string& path);
  bool IsOpen() const { return m_ok; }
  uint64_t Size() const override { return m_size; }
  bool ReadAt(uint64_t offset, void* buffer, size_t n) override;

 private:
  std::ifstream m_in;
  uint64_t m_size = 0;
  bool m_ok = false;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const void* data, size_t size) : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
  uint64_t Size() const override { return m_size; }
  bool ReadAt(uint64_t offset, void* buffer, size_t n) override;

 private:
  const unsigned char* m_data;
  size_t m_size;
};

// The fixed part of a signed cabinet's header: the 36-byte header, the
// reserve sizes and the 20-byte reserved area that points to the signature.
constexpr size_t kSignedHeaderSize = 60;
// Authenticode blocks are a few kilobytes; anything near this is not one.
constexpr uint32_t kMaxSignatureSize = 1u << 20;

struct Range {
  uint64_t begin, end;
};

struct Layout {
  uint64_t signatureOffset = 0;
  uint32_t signatureSize = 0;
  // The byte ranges of the file that the digest covers, in order.
  std::vector<Range> digested;
};

// Reads the header of the archive and finds its signature block. Refuses,
// besides what is not a signed cabinet, every change to the header fields
// that the digest leaves out (they must hold the values a signer writes),
// and any byte after the signature block.
SignatureProblem ReadLayout(ByteSource& source, Layout& layout);

// What the digest is computed with.
class DigestSink {
 public:
  virtual ~DigestSink() = default;
  virtual void Update(const unsigned char* data, size_t n) = 0;
};

// Feeds the digested ranges of the archive to `sink` in blocks; false when
// the file could not be read.
bool DigestCabinet(ByteSource& source, const Layout& layout, DigestSink& sink);

enum class DigestKind { Sha256, Sha384, Sha512 };
size_t DigestSize(DigestKind kind);

// The signed statement about the archive (SpcIndirectDataContent): the
// digest of the cabinet and how it was computed.
struct IndirectData {
  DigestKind kind = DigestKind::Sha256;
  std::string digest;
  // Where the bytes that the signer's messageDigest covers start within the
  // DER that was parsed: the SEQUENCE's contents, without its tag and length.
  size_t contentsOffset = 0;
  // The one digest algorithm that the SignedData lists for its signers; the
  // signer must use it.
  DigestKind signerKind = DigestKind::Sha256;
  // What a refusal names: a digest algorithm that is no longer accepted
  // ("SHA-1"), found in the signature or in the signer's certificate, or
  // what makes the signer's certificate one that is not for signing code.
  std::string weakDigest;
  std::string notForCode;
  // Once the signer is accepted: its certificate and the vendor's
  // certificate it was accepted under (the same when the vendor signed
  // itself), in DER form.
  std::string signerDer;
  std::string anchorDer;
};

// Reads the head of a PKCS#7 SignedData block: version 1 and exactly one
// digest algorithm (SHA-256, SHA-384 or SHA-512), which goes to
// `statement.signerKind`; a digest that is no longer accepted is named in
// `statement.weakDigest`.
bool ParseSignedDataHead(const unsigned char* der, size_t n, IndirectData& statement);

// Parses the DER of an SpcIndirectDataContent that states a cabinet digest
// with SHA-256, SHA-384 or SHA-512; false for anything else.
bool ParseIndirectData(const unsigned char* der, size_t n, IndirectData& out);

// The size of the signature's DER element in a signature block of `n`
// bytes: signers pad the block with zeros to a multiple of 8 bytes, and
// nothing else may follow the element. 0 when the block is not that.
size_t SignatureDerSize(const unsigned char* block, size_t n);

// The DER of SpcIndirectDataContent stating `digest` of a cabinet.
std::string EncodeIndirectData(DigestKind kind, const std::string& digest);

// OIDs in dotted form, for the crypto libraries.
extern const char kSpcIndirectDataOid[];
extern const char kSpcStatementTypeOid[];
extern const char kSpcSpOpusInfoOid[];
extern const char kSpcIndividualCodeSigningOid[];

// A digest being computed.
class Hasher : public DigestSink {
 public:
  virtual std::string Finish() = 0;
};

// What decides whether a certificate that the vendor's certificate issued
// may sign updates, as each platform's crypto library reads it.
struct CertificateProfile {
  std::string weakDigest;  // the name of the digest of its signature when weaker than SHA-256
  bool isCa = false;       // basic constraints CA:TRUE
  bool hasKeyUsage = false;
  bool digitalSignature = false;
  bool hasExtendedKeyUsage = false;
  bool codeSigning = false;
  bool unreadable = false;  // an extension that says these things cannot be read
};
// The same rules on every platform: a signature of SHA-256 or stronger,
// CA:FALSE (or no basic constraints), digitalSignature when the key usage
// is given, codeSigning when the extended key usage is given, and these
// extensions readable. None, or
// WeakCertificateDigest or NotACodeSigner with what it names in `statement`.
SignatureProblem CheckIssuedSigner(const CertificateProfile& certificate, IndirectData& statement);

// Checks the signer's certificate (DER `signerDer`) against each of the
// trusted certificates in turn with `check(anchorDer)`, which answers as
// CheckSignatureBlock does for one of them. The first that accepts it is
// recorded in `statement`; when none does, the refusal of one that issued it
// (NotACodeSigner, WeakCertificateDigest) before ForeignSigner.
template <typename Check>
SignatureProblem CheckAgainstAnchors(const SignerIdentity& trusted, const std::string& signerDer,
                                     IndirectData& statement, Check check) {
  SignatureProblem result = SignatureProblem::ForeignSigner;
  for (const std::string& anchorDer : trusted.certificatesDer) {
    if (anchorDer.empty()) continue;
    const SignatureProblem p = check(anchorDer);
    if (p == SignatureProblem::None) {
      statement.signerDer = signerDer;
      statement.anchorDer = anchorDer;
      return p;
    }
    if (p != SignatureProblem::ForeignSigner) result = p;
  }
  return result;
}

// The name of a signature algorithm's digest when it is weaker than SHA-256
// ("SHA-1", "MD5"...), for a signature algorithm given by its dotted OID
// (RSA PKCS #1, DSA, ECDSA); empty for SHA-256, SHA-384 and SHA-512, and
// "an unknown digest" for any other.
std::string WeakSignatureDigest(const std::string& signatureAlgorithmOid);

// The crypto library of the platform (ArchiveSignature_posix.cpp on
// OpenSSL, ArchiveSignature_win.cpp on the system's APIs).
class SignatureBackend {
 public:
  virtual ~SignatureBackend() = default;
  // A hasher for `kind`, or null.
  virtual std::unique_ptr<Hasher> NewHasher(DigestKind kind) const = 0;
  // Checks the signature block, which is one DER element: a PKCS#7
  // SignedData with exactly one signer whose content is the statement about
  // a cabinet, and whose signature over it verifies with the certificate it
  // names. Then checks that certificate against each of `signer`'s
  // certificates (CheckAgainstAnchors; CheckIssuedSigner for one a vendor's
  // certificate issued). Damaged, WeakDigest, ForeignSigner,
  // WeakCertificateDigest, NotACodeSigner or None; with None, `statement`
  // holds the signed digest and the certificates, else what the refusal
  // names. Revocation is the caller's (VerifySignedCabinet).
  virtual SignatureProblem CheckSignatureBlock(const std::string& block, const SignerIdentity& signer,
                                               IndirectData& statement) const = 0;
  // What the system's own trust verification says of the file once our
  // checks have passed (None when it adds no objection).
  virtual SignatureProblem SystemVerdict(const std::string& path) const = 0;
};

const SignatureBackend& PlatformSignatureBackend();

// Every check on an archive in `source`, without the system's verdict.
// `named`, when given, receives what the refusal names (IndirectData).
SignatureProblem VerifySignedCabinet(ByteSource& source, const SignerIdentity& signer, const SignatureBackend& backend,
                                     IndirectData* named = nullptr);
// VerifyArchiveSignature and CheckUpdateArchive on a given backend.
SignatureVerdict VerifyArchiveWith(const std::string& archivePath, const SignerIdentity& signer,
                                   const SignatureBackend& backend);
SignatureVerdict CheckUpdateArchiveWith(const std::string& archivePath, const std::string& statePath,
                                        const SignatureBackend& backend);

// The layout of a signed cabinet whose signature block starts at
// `signatureOffset`: what a signer digests.
Layout SignedLayout(uint64_t signatureOffset, uint32_t signatureSize);

}  // namespace quon::cabsig
