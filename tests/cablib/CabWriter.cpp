#include "CabWriter.h"

#include <algorithm>
#include <vector>

namespace cabtest {
namespace {

void Put16(std::string& s, std::uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}

void Put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Set32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// LZX bit stream: 16-bit little-endian words, most significant bit first.
class LzxBits {
 public:
  void Put(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      bits_ = (bits_ << 1) | ((value >> i) & 1);
      if (++n_ == 16) {
        Put16(out_, static_cast<std::uint16_t>(bits_));
        bits_ = 0;
        n_ = 0;
      }
    }
  }
  void Align() {
    if (n_) Put(0, 16 - n_);
  }
  std::string& out() { return out_; }

 private:
  std::string out_;
  std::uint32_t bits_ = 0;
  int n_ = 0;
};

// One LZX tree section: 20 pre-tree lengths, then every length as the pre-tree
// symbol (previous - new) mod 17. The pre-tree gets two 1-bit codes (a spare
// symbol makes it complete when only one is needed).
void PutLengths(LzxBits& bits, std::vector<int>& previous, const std::vector<int>& lengths) {
  std::vector<int> symbols;
  for (std::size_t i = 0; i < lengths.size(); ++i) symbols.push_back((previous[i] - lengths[i] + 17) % 17);
  int first = symbols.front(), second = -1;
  for (int s : symbols) {
    if (s != first) second = s;
  }
  if (second < 0) second = (first + 1) % 20;
  const int low = std::min(first, second);
  for (int i = 0; i < 20; ++i) bits.Put(i == first || i == second ? 1 : 0, 4);
  for (int s : symbols) bits.Put(s == low ? 0 : 1, 1);
  previous = lengths;
}

// Tree lengths of the previous LZX block of a folder (all zero at its start).
struct LzxTrees {
  std::vector<int> mainLow = std::vector<int>(256, 0);
  std::vector<int> mainHigh = std::vector<int>(240, 0);  // 30 position slots of a 32 KiB window
  std::vector<int> lengthTree = std::vector<int>(249, 0);
};

// One CFDATA payload for `raw` (at most 32 KiB) in the folder's method.
std::string EncodeBlock(Method method, const std::string& raw, bool firstBlock, LzxTrees& trees) {
  LzxBits bits;
  switch (method) {
    case Method::Stored:
      return raw;
    case Method::Mszip: {
      // "CK", then one final deflate block of type "stored".
      std::string out = "CK\x01";
      Put16(out, static_cast<std::uint16_t>(raw.size()));
      Put16(out, static_cast<std::uint16_t>(~raw.size()));
      return out + raw;
    }
    case Method::LzxVerbatim:
      // A verbatim block per frame whose main tree gives every literal an
      // 8-bit code (the byte itself) and no match symbol a code; no length
      // tree.
      if (firstBlock) bits.Put(0, 1);  // no E8 translation
      bits.Put(1, 3);
      bits.Put(static_cast<std::uint32_t>(raw.size()), 24);
      PutLengths(bits, trees.mainLow, std::vector<int>(256, 8));
      PutLengths(bits, trees.mainHigh, std::vector<int>(240, 0));
      PutLengths(bits, trees.lengthTree, std::vector<int>(249, 0));
      for (unsigned char c : raw) bits.Put(c, 8);
      bits.Align();
      return bits.out();
    case Method::Lzx: {
      // [E8 translation: 1 bit, first frame only] block type 3
      // (uncompressed), 24-bit block size, padding to the next 16-bit
      // boundary, R0 R1 R2, raw bytes, and a padding byte when the size is
      // odd.
      if (firstBlock) bits.Put(0, 1);
      bits.Put(3, 3);
      bits.Put(static_cast<std::uint32_t>(raw.size()), 24);
      bits.Align();
      std::string out = bits.out();
      for (int r = 0; r < 3; ++r) Put32(out, 1);
      out += raw;
      if (raw.size() & 1) out += '\0';
      return out;
    }
  }
  return raw;
}

std::uint16_t CompType(Method m) {
  switch (m) {
    case Method::Stored: return 0;
    case Method::Mszip: return 1;
    case Method::Lzx:
    case Method::LzxVerbatim: return 3 | (15 << 8);  // 32 KiB window
  }
  return 0;
}

}  // namespace

std::uint32_t CabChecksum(const unsigned char* data, std::size_t size, std::uint32_t seed) {
  std::uint32_t csum = seed;
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    csum ^= std::uint32_t(data[i]) | (std::uint32_t(data[i + 1]) << 8) |
            (std::uint32_t(data[i + 2]) << 16) | (std::uint32_t(data[i + 3]) << 24);
  }
  std::uint32_t tail = 0;
  switch (size - i) {
    case 3: tail |= std::uint32_t(data[i++]) << 16; [[fallthrough]];
    case 2: tail |= std::uint32_t(data[i++]) << 8; [[fallthrough]];
    case 1: tail |= data[i]; break;
    default: break;
  }
  return csum ^ tail;
}

std::string BuildCab(const CabSpec& plan, CabLayout* layout) {
  CabLayout lay;
  std::size_t fileCount = 0;
  for (const FolderSpec& f : plan.folders) fileCount += f.files.size();

  std::string head;  // CFHEADER
  head += "MSCF";
  Put32(head, 0);
  Put32(head, 0);  // cbCabinet, set at the end
  Put32(head, 0);
  Put32(head, 0);  // coffFiles, set below
  Put32(head, 0);
  head += '\x03';
  head += '\x01';
  Put16(head, static_cast<std::uint16_t>(plan.folders.size()));
  Put16(head, static_cast<std::uint16_t>(fileCount));
  Put16(head, plan.flags);
  Put16(head, 0x1234);  // set id
  Put16(head, (plan.flags & 1) ? 1 : 0);
  if (plan.flags & 1) head += std::string("prev.cab\0disk 1\0", 16);
  if (plan.flags & 2) head += std::string("next.cab\0disk 2\0", 16);
  lay.headerEnd = head.size();

  const std::size_t foldersAt = head.size();
  std::string folders(plan.folders.size() * 8, '\0');
  lay.filesOffset = foldersAt + folders.size();

  std::string files;
  std::vector<std::string> folderData(plan.folders.size());
  std::vector<std::uint16_t> blockCounts(plan.folders.size());
  for (std::size_t fi = 0; fi < plan.folders.size(); ++fi) {
    const FolderSpec& folder = plan.folders[fi];
    std::string raw;
    for (const FileSpec& file : folder.files) {
      Put32(files, file.declaredSize.value_or(static_cast<std::uint32_t>(file.data.size())));
      Put32(files, file.declaredOffset.value_or(static_cast<std::uint32_t>(raw.size())));
      Put16(files, file.folderIndex.value_or(static_cast<std::uint16_t>(fi)));
      Put16(files, 0x5988);  // 2024-12-08
      Put16(files, 0x6000);  // 12:00:00
      Put16(files, file.attribs);
      files += file.name;
      files += '\0';
      raw += file.data;
    }
    std::string& blocks = folderData[fi];
    // A folder whose files are all empty has no data blocks at all (a block
    // with no output would mark a block continued in the next cabinet).
    LzxTrees trees;
    for (std::size_t pos = 0; pos < raw.size();) {
      const std::string chunk = raw.substr(pos, std::min(plan.blockSize, raw.size() - pos));
      const std::string payload = EncodeBlock(folder.method, chunk, pos == 0, trees);
      std::string hdr;
      Put32(hdr, 0);
      Put16(hdr, static_cast<std::uint16_t>(payload.size()));
      Put16(hdr, static_cast<std::uint16_t>(chunk.size()));
      if (plan.checksums) {
        const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
        const std::uint32_t c = CabChecksum(p, payload.size(), 0);
        const auto* h = reinterpret_cast<const unsigned char*>(hdr.data()) + 4;
        Set32(hdr, 0, CabChecksum(h, 4, c));
      }
      lay.dataBlocks.push_back(blocks.size());  // relative; fixed up below
      blocks += hdr + payload;
      ++blockCounts[fi];
      pos += chunk.size();
    }
  }

  std::string out = head + folders + files;
  Set32(out, 16, static_cast<std::uint32_t>(lay.filesOffset));
  std::size_t block = 0;
  for (std::size_t fi = 0; fi < plan.folders.size(); ++fi) {
    const std::size_t start = out.size();
    Set32(out, foldersAt + fi * 8, static_cast<std::uint32_t>(start));
    out[foldersAt + fi * 8 + 4] = static_cast<char>(blockCounts[fi] & 0xFF);
    out[foldersAt + fi * 8 + 5] = static_cast<char>(blockCounts[fi] >> 8);
    const std::uint16_t ct = CompType(plan.folders[fi].method);
    out[foldersAt + fi * 8 + 6] = static_cast<char>(ct & 0xFF);
    out[foldersAt + fi * 8 + 7] = static_cast<char>(ct >> 8);
    for (std::uint16_t b = 0; b < blockCounts[fi]; ++b) lay.dataBlocks[block++] += start;
    out += folderData[fi];
  }
  Set32(out, 8, static_cast<std::uint32_t>(out.size()));
  if (layout) *layout = lay;
  return out;
}

std::string Filler(std::size_t size, std::uint32_t seed, bool text) {
  std::string s;
  s.reserve(size);
  std::uint32_t x = seed * 2654435761u + 12345;
  static const char kWords[][8] = {"gauge ", "valve ", "steam ", "ridge ", "fog\n", "river "};
  while (s.size() < size) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    if (text) {
      s += kWords[x % 6];
    } else {
      s += static_cast<char>(x & 0xFF);
    }
  }
  s.resize(size);
  return s;
}

}  // namespace cabtest
