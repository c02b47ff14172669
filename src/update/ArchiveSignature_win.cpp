// The signature checks on the system's APIs: CryptoAPI for the PKCS#7 block
// and the certificates, BCrypt for the digests, and WinVerifyTrust for the
// system's own verdict on the file.
//
// WinVerifyTrust alone is not enough: its verdict rests on the machine's
// certificate store, whereas the only trust anchor here is the vendor's
// certificate compiled into the build, which is normally not in that store
// (a vendor's own code-signing root is not, and a test root never is). And
// Wine's implementation does not recompute a cabinet's digest. So the same
// checks as on Linux run first, on CryptoAPI, and the system's verdict is
// taken last: a complaint about the chain's root or validity is expected and
// left aside, any other complaint refuses the archive.
#include <windows.h>
// After windows.h:
#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <memory>
#include <vector>

#include "update/CabSignature.h"

namespace quon::cabsig {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class BcryptHasher : public Hasher {
 public:
  explicit BcryptHasher(LPCWSTR algorithm) {
    if (BCryptOpenAlgorithmProvider(&m_alg, algorithm, nullptr, 0) != 0) {
      m_alg = nullptr;
      return;
    }
    if (BCryptCreateHash(m_alg, &m_hash, nullptr, 0, nullptr, 0, 0) != 0) m_hash = nullptr;
  }
  ~BcryptHasher() override {
    if (m_hash) BCryptDestroyHash(m_hash);
    if (m_alg) BCryptCloseAlgorithmProvider(m_alg, 0);
  }
  BcryptHasher(const BcryptHasher&) = delete;
  BcryptHasher& operator=(const BcryptHasher&) = delete;
  bool Ready() const { return m_hash != nullptr; }
  void Update(const unsigned char* data, size_t n) override {
    if (m_hash) BCryptHashData(m_hash, const_cast<PUCHAR>(data), static_cast<ULONG>(n), 0);
  }
  std::string Finish() override {
    DWORD length = 0;
    ULONG got = 0;
    if (!m_hash ||
        BCryptGetProperty(m_alg, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length), sizeof length, &got, 0) != 0)
      return std::string();
    std::string out(length, '\0');
    if (BCryptFinishHash(m_hash, reinterpret_cast<PUCHAR>(&out[0]), length, 0) != 0) return std::string();
    return out;
  }

 private:
  BCRYPT_ALG_HANDLE m_alg = nullptr;
  BCRYPT_HASH_HANDLE m_hash = nullptr;
};

std::unique_ptr<Hasher> MakeHasher(DigestKind kind) {
  LPCWSTR alg = kind == DigestKind::Sha512   ? BCRYPT_SHA512_ALGORITHM
                : kind == DigestKind::Sha384 ? BCRYPT_SHA384_ALGORITHM
                                             : BCRYPT_SHA256_ALGORITHM;
  auto hasher = std::make_unique<BcryptHasher>(alg);
  if (!hasher->Ready()) return nullptr;
  return hasher;
}

bool DigestKindOfOid(const char* oid, DigestKind& kind) {
  if (oid == nullptr) return false;
  if (std::strcmp(oid, "2.16.840.1.101.3.4.2.1") == 0) {
    kind = DigestKind::Sha256;
  } else if (std::strcmp(oid, "2.16.840.1.101.3.4.2.2") == 0) {
    kind = DigestKind::Sha384;
  } else if (std::strcmp(oid, "2.16.840.1.101.3.4.2.3") == 0) {
    kind = DigestKind::Sha512;
  } else {
    return false;
  }
  return true;
}

// A message parameter as bytes.
bool GetParam(HCRYPTMSG msg, DWORD type, DWORD index, std::vector<BYTE>& out) {
  DWORD size = 0;
  if (!CryptMsgGetParam(msg, type, index, nullptr, &size)) return false;
  out.assign(size, 0);
  if (size == 0) return true;
  if (!CryptMsgGetParam(msg, type, index, out.data(), &size)) return false;
  out.resize(size);
  return true;
}

struct MsgCloser {
  void operator()(void* m) const { CryptMsgClose(m); }
};
struct StoreCloser {
  void operator()(void* s) const { CertCloseStore(s, 0); }
};
struct CertFreer {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFreer>;

// The messageDigest among the signer's authenticated attributes.
bool MessageDigest(const CMSG_SIGNER_INFO& info, std::string& digest) {
  for (DWORD i = 0; i < info.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attr = info.AuthAttrs.rgAttr[i];
    if (std::strcmp(attr.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0) continue;
    if (attr.cValue != 1) return false;
    DWORD size = 0;
    const CRYPT_ATTR_BLOB& value = attr.rgValue[0];
    if (!CryptDecodeObject(kEncoding, X509_OCTET_STRING, value.pbData, value.cbData, 0, nullptr, &size)) return false;
    std::vector<BYTE> decoded(size);
    if (!CryptDecodeObject(kEncoding, X509_OCTET_STRING, value.pbData, value.cbData, 0, decoded.data(), &size))
      return false;
    const auto* blob = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data());
    digest.assign(reinterpret_cast<const char*>(blob->pbData), blob->cbData);
    return true;
  }
  return false;
}

// A certificate's extension decoded by CryptoAPI into `out`; false when it
// cannot be.
bool DecodeExtension(const CERT_EXTENSION& extension, LPCSTR type, std::vector<BYTE>& out) {
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, type, extension.Value.pbData, extension.Value.cbData, 0, nullptr, &size))
    return false;
  out.assign(size, 0);
  return CryptDecodeObject(kEncoding, type, extension.Value.pbData, extension.Value.cbData, 0, out.data(), &size) !=
         FALSE;
}

const CERT_EXTENSION* Extension(PCCERT_CONTEXT cert, LPCSTR oid) {
  return CertFindExtension(oid, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
}

// The signature algorithm as a dotted OID; for RSA-PSS, whose digest is
// among its parameters, that digest's OID.
std::string SignatureAlgorithmOid(PCCERT_CONTEXT cert) {
  const CRYPT_ALGORITHM_IDENTIFIER& alg = cert->pCertInfo->SignatureAlgorithm;
  std::string oid = alg.pszObjId ? alg.pszObjId : "";
  if (oid == "1.2.840.113549.1.1.10") {
    DWORD size = 0;
    std::vector<BYTE> params;
    if (CryptDecodeObject(kEncoding, PKCS_RSA_SSA_PSS_PARAMETERS, alg.Parameters.pbData, alg.Parameters.cbData, 0,
                          nullptr, &size)) {
      params.assign(size, 0);
      if (CryptDecodeObject(kEncoding, PKCS_RSA_SSA_PSS_PARAMETERS, alg.Parameters.pbData, alg.Parameters.cbData, 0,
                            params.data(), &size)) {
        const auto* pss = reinterpret_cast<const CRYPT_RSA_SSA_PSS_PARAMETERS*>(params.data());
        oid = pss->HashAlgorithm.pszObjId ? pss->HashAlgorithm.pszObjId : "";
      }
    }
  }
  return oid;
}

CertificateProfile ProfileOf(PCCERT_CONTEXT cert) {
  CertificateProfile profile;
  profile.weakDigest = WeakSignatureDigest(SignatureAlgorithmOid(cert));
  std::vector<BYTE> decoded;
  if (const CERT_EXTENSION* e = Extension(cert, szOID_BASIC_CONSTRAINTS2)) {
    if (DecodeExtension(*e, X509_BASIC_CONSTRAINTS2, decoded)) {
      profile.isCa = reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(decoded.data())->fCA != FALSE;
    } else {
      profile.unreadable = true;
    }
  }
  if (Extension(cert, szOID_KEY_USAGE)) {
    profile.hasKeyUsage = true;
    BYTE usage = 0;
    if (!CertGetIntendedKeyUsage(kEncoding, cert->pCertInfo, &usage, 1)) profile.unreadable = true;
    profile.digitalSignature = (usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) != 0;
  }
  if (const CERT_EXTENSION* e = Extension(cert, szOID_ENHANCED_KEY_USAGE)) {
    profile.hasExtendedKeyUsage = true;
    if (DecodeExtension(*e, X509_ENHANCED_KEY_USAGE, decoded)) {
      const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(decoded.data());
      for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) profile.codeSigning = true;
      }
    } else {
      profile.unreadable = true;
    }
  }
  return profile;
}

// The signer is the vendor's certificate itself, or a certificate that names
// it as issuer, carries a valid signature by its key (the vendor's
// certificate allowing certificate signing when it says what its key is for)
// and is one for signing code (CheckIssuedSigner).
SignatureProblem CheckSignerUnder(PCCERT_CONTEXT signer, const std::string& vendorDer, IndirectData& statement) {
  Cert anchor(CertCreateCertificateContext(kEncoding, reinterpret_cast<const BYTE*>(vendorDer.data()),
                                           static_cast<DWORD>(vendorDer.size())));
  if (!anchor) return SignatureProblem::ForeignSigner;
  if (signer->cbCertEncoded == anchor->cbCertEncoded &&
      std::memcmp(signer->pbCertEncoded, anchor->pbCertEncoded, signer->cbCertEncoded) == 0)
    return SignatureProblem::None;
  if (!CertCompareCertificateName(kEncoding, &signer->pCertInfo->Issuer, &anchor->pCertInfo->Subject))
    return SignatureProblem::ForeignSigner;
  BYTE usage = 0;
  if (CertGetIntendedKeyUsage(kEncoding, anchor->pCertInfo, &usage, 1) && !(usage & CERT_KEY_CERT_SIGN_KEY_USAGE))
    return SignatureProblem::ForeignSigner;
  if (!CryptVerifyCertificateSignatureEx(0, kEncoding, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                         const_cast<CERT_CONTEXT*>(signer), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                         const_cast<CERT_CONTEXT*>(anchor.get()), 0, nullptr))
    return SignatureProblem::ForeignSigner;
  return CheckIssuedSigner(ProfileOf(signer), statement);
}

SignatureProblem CheckSigner(PCCERT_CONTEXT signer, const SignerIdentity& vendor, IndirectData& statement) {
  const std::string signerDer(reinterpret_cast<const char*>(signer->pbCertEncoded), signer->cbCertEncoded);
  return CheckAgainstAnchors(vendor, signerDer, statement, [&](const std::string& vendorDer) {
    return CheckSignerUnder(signer, vendorDer, statement);
  });
}

// What WinVerifyTrust's result means once our own checks have passed.
SignatureProblem SystemVerdictOf(HRESULT result) {
  switch (result) {
    // Our own checks have established the signer; these speak only of the
    // chain to a root in the machine's store and of validity periods.
    case S_OK:
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING:
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
    case CERT_E_WRONG_USAGE:
      return SignatureProblem::None;
    case TRUST_E_BAD_DIGEST:
      return SignatureProblem::Tampered;
    case TRUST_E_EXPLICIT_DISTRUST:
      return SignatureProblem::ForeignSigner;
    default:
      return SignatureProblem::Damaged;
  }
}

class WindowsBackend : public SignatureBackend {
 public:
  std::unique_ptr<Hasher> NewHasher(DigestKind kind) const override { return MakeHasher(kind); }
  SignatureProblem CheckSignatureBlock(const std::string& block, const SignerIdentity& signer,
                                       IndirectData& statement) const override;
  SignatureProblem SystemVerdict(const std::string& path) const override;
};

SignatureProblem WindowsBackend::CheckSignatureBlock(const std::string& block, const SignerIdentity& signer,
                                                     IndirectData& statement) const {
  std::unique_ptr<void, MsgCloser> msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!msg ||
      !CryptMsgUpdate(msg.get(), reinterpret_cast<const BYTE*>(block.data()), static_cast<DWORD>(block.size()), TRUE))
    return SignatureProblem::Damaged;
  DWORD type = 0, count = 0, size = sizeof(DWORD);
  if (!CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED)
    return SignatureProblem::Damaged;
  size = sizeof(DWORD);
  if (!CryptMsgGetParam(msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size) || count != 1)
    return SignatureProblem::Damaged;
  std::vector<BYTE> innerType, content, infoBytes, certInfoBytes;
  if (!GetParam(msg.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, innerType) || innerType.empty() ||
      std::strncmp(reinterpret_cast<const char*>(innerType.data()), kSpcIndirectDataOid, innerType.size()) != 0 ||
      std::strlen(kSpcIndirectDataOid) + 1 != innerType.size())
    return SignatureProblem::Damaged;
  // The content is the statement's whole DER.
  if (!GetParam(msg.get(), CMSG_CONTENT_PARAM, 0, content)) return SignatureProblem::Damaged;
  if (!ParseIndirectData(content.data(), content.size(), statement))
    return statement.weakDigest.empty() ? SignatureProblem::Damaged : SignatureProblem::WeakDigest;

  // The signer's messageDigest covers the statement's contents without its
  // tag and length, with the signer's own digest algorithm.
  if (!GetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, infoBytes)) return SignatureProblem::Damaged;
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(infoBytes.data());
  DigestKind signerKind;
  std::string claimed;
  if (!DigestKindOfOid(info->HashAlgorithm.pszObjId, signerKind) || signerKind != statement.signerKind ||
      !MessageDigest(*info, claimed))
    return SignatureProblem::Damaged;
  std::unique_ptr<Hasher> hasher = MakeHasher(signerKind);
  if (!hasher) return SignatureProblem::Damaged;
  hasher->Update(content.data() + statement.contentsOffset, content.size() - statement.contentsOffset);
  if (hasher->Finish() != claimed) return SignatureProblem::Damaged;

  // The signer's certificate from the block, and its signature over the
  // authenticated attributes.
  if (!GetParam(msg.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, certInfoBytes)) return SignatureProblem::Damaged;
  std::unique_ptr<void, StoreCloser> store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg.get()));
  if (!store) return SignatureProblem::Damaged;
  Cert cert(
      CertGetSubjectCertificateFromStore(store.get(), kEncoding, reinterpret_cast<PCERT_INFO>(certInfoBytes.data())));
  if (!cert || !CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, cert->pCertInfo))
    return SignatureProblem::Damaged;
  return CheckSigner(cert.get(), signer, statement);
}

SignatureProblem WindowsBackend::SystemVerdict(const std::string& path) const {
  const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return SignatureProblem::Unreadable;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], n);

  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wide.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return SystemVerdictOf(static_cast<HRESULT>(result));
}

}  // namespace

const SignatureBackend& PlatformSignatureBackend() {
  static const WindowsBackend backend;
  return backend;
}

}  // namespace quon::cabsig
