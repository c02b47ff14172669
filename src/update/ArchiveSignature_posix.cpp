// The signature checks on OpenSSL.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "update/CabSignature.h"
#include "update/OpenSslOwned.h"

namespace quon::cabsig {

namespace {

using quon::Owned;

void FreeBio(BIO* b) { BIO_free(b); }
void FreeSigners(STACK_OF(X509) * s) { sk_X509_free(s); }

class EvpHasher : public Hasher {
 public:
  explicit EvpHasher(const EVP_MD* md) : m_ctx(EVP_MD_CTX_new()) {
    if (!m_ctx || EVP_DigestInit_ex(m_ctx.get(), md, nullptr) != 1) m_ctx.reset();
  }
  bool Ready() const { return m_ctx != nullptr; }
  void Update(const unsigned char* data, size_t n) override { EVP_DigestUpdate(m_ctx.get(), data, n); }
  std::string Finish() override {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(m_ctx.get(), out, &n) != 1) return std::string();
    return std::string(reinterpret_cast<const char*>(out), n);
  }

 private:
  Owned<EVP_MD_CTX, EVP_MD_CTX_free> m_ctx;
};

std::string Der(X509* cert) {
  unsigned char* buffer = nullptr;
  const int n = i2d_X509(cert, &buffer);
  if (n <= 0) return std::string();
  std::string der(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  OPENSSL_free(buffer);
  return der;
}

// The signature algorithm of a certificate as a dotted OID; for RSA-PSS,
// whose digest is among its parameters, that digest's OID.
std::string SignatureAlgorithmOid(const X509* cert) {
  const X509_ALGOR* alg = nullptr;
  X509_get0_signature(nullptr, &alg, cert);
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  if (obj != nullptr && OBJ_obj2nid(obj) == NID_rsassaPss) {
    int digest = NID_undef;
    if (X509_get_signature_info(const_cast<X509*>(cert), &digest, nullptr, nullptr, nullptr) == 1) {
      obj = OBJ_nid2obj(digest);
    }
  }
  char text[128] = {};
  if (obj == nullptr || OBJ_obj2txt(text, sizeof text, obj, 1) <= 0) return std::string();
  return text;
}

CertificateProfile ProfileOf(X509* cert) {
  CertificateProfile profile;
  profile.weakDigest = WeakSignatureDigest(SignatureAlgorithmOid(cert));
  const uint32_t flags = X509_get_extension_flags(cert);
  profile.unreadable = (flags & EXFLAG_INVALID) != 0;
  profile.isCa = (flags & EXFLAG_CA) != 0;
  profile.hasKeyUsage = (flags & EXFLAG_KUSAGE) != 0;
  profile.digitalSignature = (X509_get_key_usage(cert) & KU_DIGITAL_SIGNATURE) != 0;
  profile.hasExtendedKeyUsage = (flags & EXFLAG_XKUSAGE) != 0;
  profile.codeSigning = (X509_get_extended_key_usage(cert) & XKU_CODE_SIGN) != 0;
  return profile;
}

// The signer is the vendor's certificate itself, or a certificate that names
// it as issuer, carries a valid signature by its key and is one for signing
// code (CheckIssuedSigner).
SignatureProblem CheckSignerUnder(X509* signerCert, const std::string& signerDer, const std::string& vendorDer,
                                  IndirectData& statement) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(vendorDer.data());
  Owned<X509, X509_free> anchor(d2i_X509(nullptr, &p, static_cast<long>(vendorDer.size())));
  if (!anchor) return SignatureProblem::ForeignSigner;
  if (signerDer == vendorDer) return SignatureProblem::None;
  if (X509_check_issued(anchor.get(), signerCert) != X509_V_OK) return SignatureProblem::ForeignSigner;
  EVP_PKEY* key = X509_get0_pubkey(anchor.get());
  if (key == nullptr || X509_verify(signerCert, key) != 1) return SignatureProblem::ForeignSigner;
  return CheckIssuedSigner(ProfileOf(signerCert), statement);
}

SignatureProblem CheckSigner(X509* signerCert, const SignerIdentity& vendor, IndirectData& statement) {
  const std::string signerDer = Der(signerCert);
  if (signerDer.empty()) return SignatureProblem::Damaged;
  return CheckAgainstAnchors(vendor, signerDer, statement, [&](const std::string& vendorDer) {
    return CheckSignerUnder(signerCert, signerDer, vendorDer, statement);
  });
}

bool IsDigest(const X509_ALGOR* alg, DigestKind kind) {
  const int nid = alg ? OBJ_obj2nid(alg->algorithm) : NID_undef;
  return nid == (kind == DigestKind::Sha512 ? NID_sha512 : kind == DigestKind::Sha384 ? NID_sha384 : NID_sha256);
}

class OpenSslBackend : public SignatureBackend {
 public:
  std::unique_ptr<Hasher> NewHasher(DigestKind kind) const override;
  SignatureProblem CheckSignatureBlock(const std::string& block, const SignerIdentity& signer,
                                       IndirectData& statement) const override;
  // No system verdict on Linux: OpenSSL's checks are all there is.
  SignatureProblem SystemVerdict(const std::string&) const override { return SignatureProblem::None; }
};

std::unique_ptr<Hasher> OpenSslBackend::NewHasher(DigestKind kind) const {
  const EVP_MD* md = kind == DigestKind::Sha512   ? EVP_sha512()
                     : kind == DigestKind::Sha384 ? EVP_sha384()
                                                  : EVP_sha256();
  auto hasher = std::make_unique<EvpHasher>(md);
  if (!hasher->Ready()) return nullptr;
  return hasher;
}

SignatureProblem OpenSslBackend::CheckSignatureBlock(const std::string& block, const SignerIdentity& signer,
                                                     IndirectData& statement) const {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(block.data());
  const unsigned char* const end = p + block.size();
  Owned<PKCS7, PKCS7_free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(block.size())));
  if (!p7 || p != end || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) return SignatureProblem::Damaged;
  PKCS7* inner = p7->d.sign->contents;
  Owned<ASN1_OBJECT, ASN1_OBJECT_free> indirectOid(OBJ_txt2obj(kSpcIndirectDataOid, 1));
  if (inner == nullptr || inner->type == nullptr || !indirectOid || OBJ_cmp(inner->type, indirectOid.get()) != 0 ||
      inner->d.other == nullptr || inner->d.other->type != V_ASN1_SEQUENCE)
    return SignatureProblem::Damaged;
  const ASN1_STRING* content = inner->d.other->value.sequence;
  if (!ParseIndirectData(content->data, static_cast<size_t>(content->length), statement))
    return statement.weakDigest.empty() ? SignatureProblem::Damaged : SignatureProblem::WeakDigest;

  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1) return SignatureProblem::Damaged;
  // Authenticode signers always sign attributes (the messageDigest among
  // them), never the content directly.
  PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  X509_ALGOR* digestAlg = nullptr;
  PKCS7_SIGNER_INFO_get0_algs(info, nullptr, &digestAlg, nullptr);
  if (!IsDigest(digestAlg, statement.signerKind) || sk_X509_ATTRIBUTE_num(PKCS7_get_signed_attributes(info)) <= 0)
    return SignatureProblem::Damaged;

  // The signer's messageDigest covers the statement's contents without its
  // own tag and length. No chain is built: the vendor's certificate is
  // compared below instead.
  Owned<BIO, FreeBio> signedBytes(BIO_new_mem_buf(content->data + statement.contentsOffset,
                                                  content->length - static_cast<int>(statement.contentsOffset)));
  if (!signedBytes ||
      PKCS7_verify(p7.get(), nullptr, nullptr, signedBytes.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) != 1)
    return SignatureProblem::Damaged;
  Owned<STACK_OF(X509), FreeSigners> signers(PKCS7_get0_signers(p7.get(), nullptr, 0));
  if (!signers || sk_X509_num(signers.get()) != 1) return SignatureProblem::Damaged;
  return CheckSigner(sk_X509_value(signers.get(), 0), signer, statement);
}

}  // namespace

const SignatureBackend& PlatformSignatureBackend() {
  static const OpenSslBackend backend;
  return backend;
}

}  // namespace quon::cabsig
