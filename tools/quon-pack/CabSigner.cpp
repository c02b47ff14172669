#include "CabSigner.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "update/CabSignature.h"
#include "update/OpenSslOwned.h"

namespace quon::pack {

namespace {

using namespace quon::cabsig;

using quon::Owned;
void FreeBio(BIO* b) { BIO_free(b); }
void FreeBioChain(BIO* b) { BIO_free_all(b); }

constexpr size_t kHeaderSize = 36;
constexpr size_t kInserted = kSignedHeaderSize - kHeaderSize;  // reserve sizes + reserved area
constexpr size_t kFolderSize = 8;

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void Put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::string OpenSslError() {
  const unsigned long e = ERR_get_error();
  if (e == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  return text;
}

// PEM first, then DER.
Owned<X509, X509_free> LoadCertificate(const std::string& file) {
  Owned<BIO, FreeBio> bio(BIO_new_file(file.c_str(), "rb"));
  if (!bio) return nullptr;
  Owned<X509, X509_free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert && BIO_reset(bio.get()) == 0) cert.reset(d2i_X509_bio(bio.get(), nullptr));
  return cert;
}

Owned<EVP_PKEY, EVP_PKEY_free> LoadKey(const std::string& file) {
  Owned<BIO, FreeBio> bio(BIO_new_file(file.c_str(), "rb"));
  if (!bio) return nullptr;
  Owned<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key && BIO_reset(bio.get()) == 0) key.reset(d2i_PrivateKey_bio(bio.get(), nullptr));
  return key;
}

int Nid(const char* oid, const char* name) {
  int nid = OBJ_txt2nid(oid);
  if (nid == NID_undef) nid = OBJ_create(oid, name, name);
  return nid;
}

bool AddSequenceAttribute(PKCS7_SIGNER_INFO* si, int nid, const std::string& der) {
  ASN1_STRING* value = ASN1_STRING_new();
  if (value == nullptr || !ASN1_STRING_set(value, der.data(), static_cast<int>(der.size())) ||
      !PKCS7_add_signed_attribute(si, nid, V_ASN1_SEQUENCE, value)) {
    ASN1_STRING_free(value);
    return false;
  }
  return true;
}

// The DER of a PKCS#7 SignedData over `statement` (an SpcIndirectDataContent).
bool BuildSignature(const std::string& statement, X509* cert, EVP_PKEY* key, std::string& der, std::string& problem) {
  Owned<PKCS7, PKCS7_free> p7(PKCS7_new());
  PKCS7_SIGNER_INFO* si = nullptr;
  bool ok = p7 && PKCS7_set_type(p7.get(), NID_pkcs7_signed) &&
            (si = PKCS7_add_signature(p7.get(), cert, key, EVP_sha256())) != nullptr &&
            PKCS7_add_certificate(p7.get(), cert);
  if (ok) {
    ASN1_OBJECT* type = OBJ_txt2obj(kSpcIndirectDataOid, 1);
    ok = type != nullptr && PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, type);
    if (!ok) ASN1_OBJECT_free(type);
  }
  // The statement type (individual code signing) and an empty description,
  // as Authenticode signers write them.
  static const unsigned char kIndividual[] = {0x30, 0x0C, 0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04,
                                              0x01, 0x82, 0x37, 0x02, 0x01, 0x15};
  ok = ok &&
       AddSequenceAttribute(si, Nid(kSpcStatementTypeOid, "quonSpcStatementType"),
                            std::string(reinterpret_cast<const char*>(kIndividual), sizeof kIndividual)) &&
       AddSequenceAttribute(si, Nid(kSpcSpOpusInfoOid, "quonSpcSpOpusInfo"), std::string("\x30\x00", 2)) &&
       PKCS7_content_new(p7.get(), NID_pkcs7_data);
  // The signer's messageDigest covers the statement's contents, without the
  // SEQUENCE's tag and length.
  IndirectData parsed;
  ok = ok && ParseIndirectData(reinterpret_cast<const unsigned char*>(statement.data()), statement.size(), parsed);
  if (ok) {
    Owned<BIO, FreeBioChain> bio(PKCS7_dataInit(p7.get(), nullptr));
    const int n = static_cast<int>(statement.size() - parsed.contentsOffset);
    ok = bio && BIO_write(bio.get(), statement.data() + parsed.contentsOffset, n) == n &&
         BIO_flush(bio.get()) == 1 && PKCS7_dataFinal(p7.get(), bio.get());
  }
  if (ok) {
    // Now the content becomes the statement itself.
    Owned<PKCS7, PKCS7_free> content(PKCS7_new());
    ASN1_STRING* seq = ASN1_STRING_new();
    ok = content && seq && ASN1_STRING_set(seq, statement.data(), static_cast<int>(statement.size()));
    if (ok) {
      content->type = OBJ_txt2obj(kSpcIndirectDataOid, 1);
      content->d.other = ASN1_TYPE_new();
      ok = content->type && content->d.other;
    }
    if (ok) {
      ASN1_TYPE_set(content->d.other, V_ASN1_SEQUENCE, seq);
      seq = nullptr;
      ok = PKCS7_set_content(p7.get(), content.get());
      if (ok) content.release();
    }
    ASN1_STRING_free(seq);
  }
  unsigned char* out = nullptr;
  const int n = ok ? i2d_PKCS7(p7.get(), &out) : -1;
  if (n <= 0) {
    problem = "cannot build the signature: " + OpenSslError();
    return false;
  }
  der.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
  OPENSSL_free(out);
  return true;
}

// Copies `in` to `out` with room for the signature's reserved area: the
// header grows by 24 bytes, so the cabinet size, the offset of the files
// and every folder's data offset move by as much.
bool WriteWithReserve(const std::string& in, const std::string& out, uint32_t& cabinetSize, std::string& problem) {
  std::ifstream src(in, std::ios::binary);
  std::ofstream dst(out, std::ios::binary | std::ios::trunc);
  if (!src || !dst) {
    problem = "cannot open '" + (src ? out : in) + "'";
    return false;
  }
  unsigned char h[kHeaderSize];
  if (!src.read(reinterpret_cast<char*>(h), kHeaderSize) || std::memcmp(h, "MSCF", 4) != 0) {
    problem = "'" + in + "' is not a cabinet";
    return false;
  }
  const uint16_t flags = U16(h + 30);
  if (flags & 0x0007) {
    problem = "'" + in + "' already has a reserved area or belongs to a set of cabinets";
    return false;
  }
  const uint16_t folders = U16(h + 26);
  if (U32(h + 8) > UINT32_MAX - kInserted) {
    problem = "'" + in + "' is too large to sign";
    return false;
  }
  cabinetSize = U32(h + 8) + static_cast<uint32_t>(kInserted);
  Put32(h + 8, cabinetSize);
  Put32(h + 16, U32(h + 16) + static_cast<uint32_t>(kInserted));
  Put16(h + 30, static_cast<uint16_t>(flags | 0x0004));
  unsigned char reserve[kInserted] = {};
  Put16(reserve, 20);  // cbCFHeader; cbCFFolder and cbCFData stay 0
  reserve[4 + 2] = 0x10;  // the reserved area's marker 00 00 10 00
  Put32(reserve + 8, cabinetSize);  // where the signature will start; its size follows later
  dst.write(reinterpret_cast<const char*>(h), kHeaderSize);
  dst.write(reinterpret_cast<const char*>(reserve), kInserted);
  for (uint16_t i = 0; i < folders; ++i) {
    unsigned char f[kFolderSize];
    if (!src.read(reinterpret_cast<char*>(f), kFolderSize)) {
      problem = "'" + in + "' is truncated";
      return false;
    }
    Put32(f, U32(f) + static_cast<uint32_t>(kInserted));
    dst.write(reinterpret_cast<const char*>(f), kFolderSize);
  }
  std::vector<char> block(1 << 20);
  while (src) {
    src.read(block.data(), static_cast<std::streamsize>(block.size()));
    dst.write(block.data(), src.gcount());
  }
  dst.flush();
  if (!dst || dst.tellp() != static_cast<std::streamoff>(cabinetSize)) {
    problem = "cannot write '" + out + "', or the cabinet's size field is wrong";
    return false;
  }
  return true;
}

}  // namespace

bool SignCabinetFile(const std::string& in, const std::string& out, const std::string& certFile,
                     const std::string& keyFile, std::string& problem) {
  Owned<X509, X509_free> cert = LoadCertificate(certFile);
  if (!cert) {
    problem = "'" + certFile + "' is not a certificate in PEM or DER form";
    return false;
  }
  Owned<EVP_PKEY, EVP_PKEY_free> key = LoadKey(keyFile);
  if (!key) {
    problem = "'" + keyFile + "' is not an unencrypted private key in PEM or DER form";
    return false;
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    problem = "the key in '" + keyFile + "' does not belong to the certificate in '" + certFile + "'";
    return false;
  }
  const std::string temp = out + ".sign" + std::to_string(getpid());
  uint32_t cabinetSize = 0;
  bool ok = WriteWithReserve(in, temp, cabinetSize, problem);
  std::string signature;
  if (ok) {
    FileSource source(temp);
    std::unique_ptr<Hasher> hasher = PlatformSignatureBackend().NewHasher(DigestKind::Sha256);
    ok = source.IsOpen() && hasher && DigestCabinet(source, SignedLayout(cabinetSize, 0), *hasher);
    if (!ok) problem = "cannot read '" + temp + "'";
    ok = ok && BuildSignature(EncodeIndirectData(DigestKind::Sha256, hasher->Finish()), cert.get(), key.get(),
                              signature, problem);
  }
  if (ok) {
    // The block is padded with zeros to a multiple of 8 bytes.
    signature.resize((signature.size() + 7) / 8 * 8, '\0');
    std::fstream f(temp, std::ios::binary | std::ios::in | std::ios::out);
    unsigned char size[4];
    Put32(size, static_cast<uint32_t>(signature.size()));
    f.seekp(48);
    f.write(reinterpret_cast<const char*>(size), 4);
    f.seekp(0, std::ios::end);
    f.write(signature.data(), static_cast<std::streamsize>(signature.size()));
    f.close();
    if (!f) {
      ok = false;
      problem = "cannot write '" + temp + "'";
    }
  }
  if (ok && std::rename(temp.c_str(), out.c_str()) != 0) {
    ok = false;
    problem = "cannot rename '" + temp + "' to '" + out + "': " + std::strerror(errno);
  }
  if (!ok) std::remove(temp.c_str());
  return ok;
}

}  // namespace quon::pack
