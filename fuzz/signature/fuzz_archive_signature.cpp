// Two shapes of input, told apart by the first byte: a whole archive, or a
// signature block that is put behind a well-formed signed cabinet header so
// that every run reaches the PKCS#7 and DER readers.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "update/CabSignature.h"

namespace {

using namespace quon::cabsig;

void Put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const bool wrap = data[0] & 1;
  ++data;
  --size;
  const quon::SignerIdentity signer{{std::string(reinterpret_cast<const char*>(data), std::min<size_t>(size, 64))}, {}};
  IndirectData statement;
  ParseIndirectData(data, size, statement);
  IndirectData head;
  ParseSignedDataHead(data, size, head);
  if (!wrap) {
    MemorySource source(data, size);
    VerifySignedCabinet(source, signer, PlatformSignatureBackend());
    return 0;
  }
  std::string archive(kSignedHeaderSize, '\0');
  auto* h = reinterpret_cast<unsigned char*>(&archive[0]);
  std::memcpy(h, "MSCF", 4);
  Put32(h + 8, kSignedHeaderSize);
  Put32(h + 16, kSignedHeaderSize);
  h[24] = 3;
  h[25] = 1;
  h[30] = 0x04;  // reserve present
  h[36] = 20;
  h[42] = 0x10;
  Put32(h + 44, kSignedHeaderSize);
  Put32(h + 48, static_cast<uint32_t>(size));
  archive.append(reinterpret_cast<const char*>(data), size);
  MemorySource source(archive.data(), archive.size());
  VerifySignedCabinet(source, signer, PlatformSignatureBackend());
  return 0;
}
