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

// The signer is the vendor's certificate itself, or a certificate that names
// it as issuer and carries a valid signature by its key.
bool SignedByVendor(X509* signerCert, const SignerIdentity& vendor) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(vendor.certificateDer.data());
  Owned<X509, X509_free> anchor(d2i_X509(nullptr, &p, static_cast<long>(vendor.certificateDer.size())));
  if (!anchor) return false;
  if (Der(signerCert) == vendor.certificateDer) return true;
  if (X509_check_issued(anchor.get(), signerCert) != X509_V_OK) return false;
  EVP_PKEY* key = X509_get0_pubkey(anchor.get());
  return key != nullptr && X509_verify(signerCert, key) == 1;
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
  const EVP_MD* md = kind == DigestKind::Sha512 ? EVP_sha512() : kind == DigestKind::Sha384 ? EVP_sha384() : EVP_sha256();
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
    return SignatureProblem::Damaged;

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
  return SignedByVendor(sk_X509_value(signers.get(), 0), signer) ? SignatureProblem::None
                                                                 : SignatureProblem::ForeignSigner;
}

}  // namespace

const SignatureBackend& PlatformSignatureBackend() {
  static const OpenSslBackend backend;
  return backend;
}

}  // namespace quon::cabsig

namespace quon {

SignatureVerdict VerifyArchiveSignature(const std::string& archivePath, const SignerIdentity& signer) {
  return cabsig::VerifyArchiveWith(archivePath, signer, cabsig::PlatformSignatureBackend());
}

SignatureVerdict CheckUpdateArchive(const std::string& archivePath) {
  return cabsig::CheckUpdateArchiveWith(archivePath, cabsig::PlatformSignatureBackend());
}

}  // namespace quon
