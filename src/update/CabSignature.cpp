#include "update/CabSignature.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/FsPath.h"

namespace quon::cabsig {

const char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
const char kSpcStatementTypeOid[] = "1.3.6.1.4.1.311.2.1.11";
const char kSpcSpOpusInfoOid[] = "1.3.6.1.4.1.311.2.1.12";
const char kSpcIndividualCodeSigningOid[] = "1.3.6.1.4.1.311.2.1.21";

namespace {

// Header offsets of a cabinet with a reserved area.
constexpr size_t kCbCabinet = 8;
constexpr size_t kFlags = 30;
constexpr size_t kCbCFHeader = 36;
constexpr size_t kReserve = 40;
constexpr uint16_t kReservePresent = 0x0004;
// The reserved area of a signed cabinet: a fixed marker, the signature's
// offset and size, and eight bytes of which the last four are digested.
constexpr uint16_t kSignatureReserveSize = 20;
const unsigned char kReserveMarker[4] = {0x00, 0x00, 0x10, 0x00};

// OID contents (without tag and length).
const unsigned char kCabDataOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x19};
const unsigned char kSha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const unsigned char kSha384Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const unsigned char kSha512Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
const unsigned char kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// Digest algorithms that are no longer accepted, and their names for the
// user.
struct WeakDigest {
  std::vector<unsigned char> oid;
  const char* name;
};
const WeakDigest kWeakDigests[] = {
    {{0x2B, 0x0E, 0x03, 0x02, 0x1A}, "SHA-1"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}, "MD5"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x04}, "MD4"},
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}, "MD2"},
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}, "SHA-224"},
};

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
bool AllZero(const unsigned char* p, size_t n) {
  return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

// One DER element: tag, where its contents lie, and where it ends.
struct Element {
  unsigned char tag = 0;
  size_t contents = 0, end = 0;
};

// Reads the element at `pos` within [0, limit). Single-byte tags, definite
// minimal lengths only.
bool ReadElement(const unsigned char* der, size_t pos, size_t limit, Element& e) {
  if (pos + 2 > limit) return false;
  e.tag = der[pos];
  if ((e.tag & 0x1F) == 0x1F) return false;
  size_t len = der[pos + 1];
  size_t p = pos + 2;
  if (len & 0x80) {
    const size_t count = len & 0x7F;
    if (count == 0 || count > 4 || p + count > limit || der[p] == 0) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = len << 8 | der[p + i];
    p += count;
    if (len < 0x80) return false;
  }
  if (len > limit - p) return false;
  e.contents = p;
  e.end = p + len;
  return true;
}

bool OidIs(const unsigned char* der, const Element& e, const unsigned char* oid, size_t n) {
  return e.tag == 0x06 && e.end - e.contents == n && std::memcmp(der + e.contents, oid, n) == 0;
}

// AlgorithmIdentifier of SHA-256, SHA-384 or SHA-512, with absent or NULL
// parameters. One of a digest that is no longer accepted is refused with its
// name in `weak`.
bool ParseDigestAlgorithm(const unsigned char* der, const Element& alg, DigestKind& kind, std::string& weak) {
  Element oid;
  if (alg.tag != 0x30 || !ReadElement(der, alg.contents, alg.end, oid)) return false;
  if (OidIs(der, oid, kSha256Oid, sizeof kSha256Oid)) {
    kind = DigestKind::Sha256;
  } else if (OidIs(der, oid, kSha384Oid, sizeof kSha384Oid)) {
    kind = DigestKind::Sha384;
  } else if (OidIs(der, oid, kSha512Oid, sizeof kSha512Oid)) {
    kind = DigestKind::Sha512;
  } else {
    for (const WeakDigest& w : kWeakDigests) {
      if (OidIs(der, oid, w.oid.data(), w.oid.size())) weak = w.name;
    }
    return false;
  }
  if (oid.end == alg.end) return true;
  Element params;
  return ReadElement(der, oid.end, alg.end, params) && params.tag == 0x05 && params.contents == params.end &&
         params.end == alg.end;
}

void AppendTlv(std::string& out, unsigned char tag, const std::string& contents) {
  out.push_back(static_cast<char>(tag));
  const size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<char>(n));
  } else {
    std::string len;
    for (size_t v = n; v; v >>= 8) len.insert(len.begin(), static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(0x80 | len.size()));
    out += len;
  }
  out += contents;
}

std::string Tlv(unsigned char tag, const std::string& contents) {
  std::string out;
  AppendTlv(out, tag, contents);
  return out;
}

std::string Bytes(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

FileSource::FileSource(const std::string& path) : m_in(FsPath(path), std::ios::binary) {
  if (!m_in) return;
  m_in.seekg(0, std::ios::end);
  const std::streamoff end = m_in.tellg();
  if (end < 0) return;
  m_size = static_cast<uint64_t>(end);
  m_ok = true;
}

bool FileSource::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (!m_ok || offset > m_size || n > m_size - offset) return false;
  m_in.clear();
  m_in.seekg(static_cast<std::streamoff>(offset));
  m_in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(n));
  return m_in.gcount() == static_cast<std::streamsize>(n);
}

bool MemorySource::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (offset > m_size || n > m_size - offset) return false;
  if (n) std::memcpy(buffer, m_data + offset, n);
  return true;
}

Layout SignedLayout(uint64_t signatureOffset, uint32_t signatureSize) {
  Layout layout;
  layout.signatureOffset = signatureOffset;
  layout.signatureSize = signatureSize;
  // Left out: reserved1 (4-7), iCabinet and the reserve sizes (34-39) and
  // the part of the reserved area that points to the signature (40-55).
  // Everything from the end of the reserved area up to the signature is
  // covered: the set names, folders, files and data.
  layout.digested = {{0, 4}, {8, 34}, {56, signatureOffset}};
  return layout;
}

SignatureProblem ReadLayout(ByteSource& source, Layout& layout) {
  const uint64_t size = source.Size();
  unsigned char h[kSignedHeaderSize] = {};
  const size_t headerBytes = static_cast<size_t>(std::min<uint64_t>(size, kSignedHeaderSize));
  if (!source.ReadAt(0, h, headerBytes)) return SignatureProblem::Unreadable;
  if (headerBytes < kCbCFHeader || std::memcmp(h, "MSCF", 4) != 0) return SignatureProblem::NotAnArchive;
  if (!(U16(h + kFlags) & kReservePresent)) return SignatureProblem::Unsigned;
  if (headerBytes < kSignedHeaderSize) return SignatureProblem::NotAnArchive;
  if (U16(h + kCbCFHeader) != kSignatureReserveSize || std::memcmp(h + kReserve, kReserveMarker, 4) != 0)
    return SignatureProblem::Unsigned;
  const uint32_t offset = U32(h + 44);
  const uint32_t length = U32(h + 48);
  if (offset == 0 && length == 0) return SignatureProblem::Unsigned;
  // The fields the digest leaves out: a signer writes zeros there (a
  // single cabinet, no per-folder or per-block reserve), so anything else
  // is a change made after signing.
  if (!AllZero(h + 4, 4) || !AllZero(h + 34, 2) || h[38] != 0 || h[39] != 0 ||
      !AllZero(h + 52, 4))
    return SignatureProblem::Tampered;
  // The signature block must end the file exactly, and follow the cabinet
  // that the (digested) cabinet size announces: a cabinet size that
  // disagrees with where the block starts was changed after signing, or
  // the block's place was.
  if (length == 0 || length > kMaxSignatureSize || offset < kSignedHeaderSize ||
      static_cast<uint64_t>(offset) + length != size)
    return SignatureProblem::Damaged;
  if (U32(h + kCbCabinet) != offset) return SignatureProblem::Tampered;
  layout = SignedLayout(offset, length);
  return SignatureProblem::None;
}

bool DigestCabinet(ByteSource& source, const Layout& layout, DigestSink& sink) {
  std::vector<unsigned char> block(1u << 20);
  for (const Range& r : layout.digested) {
    for (uint64_t at = r.begin; at < r.end;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), r.end - at));
      if (!source.ReadAt(at, block.data(), n)) return false;
      sink.Update(block.data(), n);
      at += n;
    }
  }
  return true;
}

size_t DigestSize(DigestKind kind) {
  switch (kind) {
    case DigestKind::Sha256: return 32;
    case DigestKind::Sha384: return 48;
    case DigestKind::Sha512: return 64;
  }
  return 0;
}

size_t SignatureDerSize(const unsigned char* block, size_t n) {
  Element e;
  if (!ReadElement(block, 0, n, e) || n - e.end >= 8 || !AllZero(block + e.end, n - e.end)) return 0;
  return e.end;
}

bool ParseIndirectData(const unsigned char* der, size_t n, IndirectData& out) {
  Element outer, data, type, info, alg, digest;
  if (!ReadElement(der, 0, n, outer) || outer.tag != 0x30 || outer.end != n) return false;
  // data: SEQUENCE { type OBJECT IDENTIFIER (cabinet), value ANY OPTIONAL }
  if (!ReadElement(der, outer.contents, outer.end, data) || data.tag != 0x30) return false;
  if (!ReadElement(der, data.contents, data.end, type) || !OidIs(der, type, kCabDataOid, sizeof kCabDataOid))
    return false;
  if (type.end != data.end) {
    Element value;
    if (!ReadElement(der, type.end, data.end, value) || value.end != data.end) return false;
  }
  // messageDigest: SEQUENCE { AlgorithmIdentifier, OCTET STRING }
  if (!ReadElement(der, data.end, outer.end, info) || info.tag != 0x30 || info.end != outer.end) return false;
  if (!ReadElement(der, info.contents, info.end, alg) || alg.tag != 0x30) return false;
  if (!ParseDigestAlgorithm(der, alg, out.kind, out.weakDigest)) return false;
  if (!ReadElement(der, alg.end, info.end, digest) || digest.tag != 0x04 || digest.end != info.end) return false;
  if (digest.end - digest.contents != DigestSize(out.kind)) return false;
  out.digest.assign(reinterpret_cast<const char*>(der + digest.contents), digest.end - digest.contents);
  out.contentsOffset = outer.contents;
  return true;
}

bool ParseSignedDataHead(const unsigned char* der, size_t n, IndirectData& statement) {
  // ContentInfo { signedData, [0] SignedData { version, digestAlgorithms, ... } }
  Element info, type, explicitTag, signedData, version, algorithms, alg;
  if (!ReadElement(der, 0, n, info) || info.tag != 0x30 || info.end != n) return false;
  if (!ReadElement(der, info.contents, info.end, type) || !OidIs(der, type, kSignedDataOid, sizeof kSignedDataOid))
    return false;
  if (!ReadElement(der, type.end, info.end, explicitTag) || explicitTag.tag != 0xA0 || explicitTag.end != info.end)
    return false;
  if (!ReadElement(der, explicitTag.contents, explicitTag.end, signedData) || signedData.tag != 0x30) return false;
  if (!ReadElement(der, signedData.contents, signedData.end, version) || version.tag != 0x02 ||
      version.end - version.contents != 1 || der[version.contents] != 1)
    return false;
  if (!ReadElement(der, version.end, signedData.end, algorithms) || algorithms.tag != 0x31) return false;
  return ReadElement(der, algorithms.contents, algorithms.end, alg) && alg.end == algorithms.end &&
         ParseDigestAlgorithm(der, alg, statement.signerKind, statement.weakDigest);
}

std::string WeakSignatureDigest(const std::string& signatureAlgorithmOid) {
  // Signature algorithms (RSA PKCS #1, DSA, ECDSA, EdDSA) and bare digests
  // (the hash of an RSA-PSS signature), with the digest they use: empty
  // when it is SHA-256 or stronger.
  static const std::pair<const char*, const char*> kAlgorithms[] = {
      {"1.2.840.113549.1.1.11", ""},
      {"1.2.840.113549.1.1.12", ""},
      {"1.2.840.113549.1.1.13", ""},
      {"1.2.840.10045.4.3.2", ""},
      {"1.2.840.10045.4.3.3", ""},
      {"1.2.840.10045.4.3.4", ""},
      {"2.16.840.1.101.3.4.3.2", ""},
      {"2.16.840.1.101.3.4.2.1", ""},
      {"2.16.840.1.101.3.4.2.2", ""},
      {"2.16.840.1.101.3.4.2.3", ""},
      {"1.3.101.112", ""},
      {"1.3.101.113", ""},
      {"1.2.840.113549.1.1.5", "SHA-1"},
      {"1.3.14.3.2.29", "SHA-1"},
      {"1.2.840.10040.4.3", "SHA-1"},
      {"1.2.840.10045.4.1", "SHA-1"},
      {"1.3.14.3.2.26", "SHA-1"},
      {"1.2.840.113549.1.1.4", "MD5"},
      {"1.2.840.113549.2.5", "MD5"},
      {"1.2.840.113549.1.1.3", "MD4"},
      {"1.2.840.113549.1.1.2", "MD2"},
      {"1.2.840.113549.1.1.14", "SHA-224"},
      {"1.2.840.10045.4.3.1", "SHA-224"},
      {"2.16.840.1.101.3.4.3.1", "SHA-224"},
      {"2.16.840.1.101.3.4.2.4", "SHA-224"},
  };
  for (const auto& [oid, weak] : kAlgorithms) {
    if (signatureAlgorithmOid == oid) return weak;
  }
  return "an unknown digest";
}

std::string EncodeIndirectData(DigestKind kind, const std::string& digest) {
  // The cabinet's data value is the customary link to a file named
  // "<<<Obsolete>>>" (a BMPString), as signers of cabinets write it.
  std::string obsolete;
  for (char c : std::string("<<<Obsolete>>>")) {
    obsolete.push_back('\0');
    obsolete.push_back(c);
  }
  const std::string data =
      Tlv(0x30, Tlv(0x06, Bytes(kCabDataOid, sizeof kCabDataOid)) + Tlv(0xA2, Tlv(0x80, obsolete)));
  const unsigned char* oid = kind == DigestKind::Sha512   ? kSha512Oid
                             : kind == DigestKind::Sha384 ? kSha384Oid
                                                          : kSha256Oid;
  const std::string alg = Tlv(0x30, Tlv(0x06, Bytes(oid, sizeof kSha256Oid)) + Tlv(0x05, ""));
  return Tlv(0x30, data + Tlv(0x30, alg + Tlv(0x04, digest)));
}

}  // namespace quon::cabsig
