#include "PeTestImage.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace petest {

void PutU16(Bytes& b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = v & 0xFF;
  b[at + 1] = v >> 8;
}
void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
  PutU16(b, at, v & 0xFFFF);
  PutU16(b, at + 2, v >> 16);
}
std::uint32_t GetU32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

static void Pad4(Bytes& b) {
  while (b.size() % 4) b.push_back(0);
}
static void AppendU16Text(Bytes& b, const std::u16string& s) {
  for (char16_t c : s) {
    b.push_back(c & 0xFF);
    b.push_back(c >> 8);
  }
}

VerNode Text(const std::u16string& key, const std::u16string& text) {
  VerNode n;
  n.key = key;
  n.type = 1;
  AppendU16Text(n.value, text);
  n.value.push_back(0);
  n.value.push_back(0);
  n.valueLength = static_cast<std::uint16_t>(text.size() + 1);
  return n;
}

VerNode Block(const std::u16string& key, std::vector<VerNode> children) {
  VerNode n;
  n.key = key;
  n.children = std::move(children);
  return n;
}

VerNode Root(std::vector<VerNode> children) {
  VerNode n;
  n.key = u"VS_VERSION_INFO";
  n.type = 0;
  n.value.assign(52, 0);
  PutU32(n.value, 0, 0xFEEF04BD);
  PutU32(n.value, 4, 0x00010000);
  n.valueLength = 52;
  n.children = std::move(children);
  return n;
}

VerNode StandardVersion(const std::u16string& table, std::vector<VerNode> strings) {
  return Root({Block(u"StringFileInfo", {Block(table, std::move(strings))})});
}

Bytes Serialize(const VerNode& node) {
  // Serialized relative to a 4-aligned start, as nodes are in a resource.
  Bytes b(6, 0);
  AppendU16Text(b, node.key);
  b.push_back(0);
  b.push_back(0);
  Pad4(b);
  b.insert(b.end(), node.value.begin(), node.value.end());
  for (const VerNode& child : node.children) {
    Pad4(b);
    Bytes c = Serialize(child);
    b.insert(b.end(), c.begin(), c.end());
  }
  PutU16(b, 0, static_cast<std::uint16_t>(b.size()));
  PutU16(b, 2, node.valueLength);
  PutU16(b, 4, node.type);
  return b;
}

namespace {

struct Dir {
  std::uint16_t id;
  bool named = false;
  std::vector<Dir> subs = {};  // empty at the language level
  const Resource* res = nullptr;
};

Dir* FindOrAdd(std::vector<Dir>& v, std::uint16_t id) {
  for (Dir& d : v)
    if (d.id == id) return &d;
  v.push_back(Dir{id});
  return &v.back();
}

}  // namespace

Bytes BuildPe(const std::vector<Resource>& resources, const PeLayout& layout) {
  // Resource tree in three levels.
  std::vector<Dir> types;
  for (const Resource& r : resources) {
    Dir* t = FindOrAdd(types, r.type);
    Dir* n = FindOrAdd(t->subs, r.name);
    n->named = r.namedName;
    Dir* l = FindOrAdd(n->subs, r.lang);
    l->res = &r;
  }
  // Layout: all directory tables first (breadth first), then a name string,
  // then the data entries, then the data.
  auto tableSize = [](const std::vector<Dir>& v) { return 16 + 8 * v.size(); };
  std::uint32_t off = tableSize(types);
  std::vector<std::uint32_t> typeTables, nameTables;
  for (const Dir& t : types) {
    typeTables.push_back(off);
    off += tableSize(t.subs);
  }
  for (const Dir& t : types)
    for (const Dir& n : t.subs) {
      nameTables.push_back(off);
      off += tableSize(n.subs);
    }
  const std::uint32_t nameStringAt = off;
  off += 2 + 2 * 4;  // "NAME"
  off = (off + 3) & ~3u;
  std::uint32_t dataEntriesAt = off;
  std::size_t resourceCount = 0;
  for (const Dir& t : types)
    for (const Dir& n : t.subs) resourceCount += n.subs.size();
  off += 16 * resourceCount;
  Bytes rsrc(off, 0);
  PutU16(rsrc, nameStringAt, 4);
  for (int i = 0; i < 4; ++i) PutU16(rsrc, nameStringAt + 2 + 2 * i, "NAME"[i]);

  auto writeTable = [&](std::uint32_t at, const std::vector<Dir>& v) {
    std::uint16_t named = 0;
    for (const Dir& d : v) named += d.named;
    PutU16(rsrc, at + 12, named);
    PutU16(rsrc, at + 14, static_cast<std::uint16_t>(v.size() - named));
  };
  writeTable(0, types);
  std::size_t nameIndex = 0, dataIndex = 0;
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    const Dir& t = types[ti];
    PutU32(rsrc, 16 + 8 * ti, t.id);
    PutU32(rsrc, 16 + 8 * ti + 4, 0x80000000u | typeTables[ti]);
    writeTable(typeTables[ti], t.subs);
    for (std::size_t ni = 0; ni < t.subs.size(); ++ni, ++nameIndex) {
      const Dir& n = t.subs[ni];
      const std::uint32_t e = typeTables[ti] + 16 + 8 * ni;
      PutU32(rsrc, e, n.named ? (0x80000000u | nameStringAt) : n.id);
      PutU32(rsrc, e + 4, 0x80000000u | nameTables[nameIndex]);
      writeTable(nameTables[nameIndex], n.subs);
      for (std::size_t li = 0; li < n.subs.size(); ++li, ++dataIndex) {
        const Dir& l = n.subs[li];
        const std::uint32_t le = nameTables[nameIndex] + 16 + 8 * li;
        const std::uint32_t entryAt = dataEntriesAt + 16 * dataIndex;
        PutU32(rsrc, le, l.id);
        PutU32(rsrc, le + 4, entryAt);
        Pad4(rsrc);
        const std::uint32_t dataAt = static_cast<std::uint32_t>(rsrc.size());
        rsrc.insert(rsrc.end(), l.res->data.begin(), l.res->data.end());
        PutU32(rsrc, entryAt, layout.sectionVa + dataAt);
        PutU32(rsrc, entryAt + 4, static_cast<std::uint32_t>(l.res->data.size()));
      }
    }
  }
  Pad4(rsrc);

  const std::uint16_t optionalSize = layout.pe32Plus ? 240 : 224;
  Bytes pe(layout.sectionRaw, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  PutU32(pe, 0x3C, layout.peOffset);
  const std::uint32_t p = layout.peOffset;
  pe[p] = 'P';
  pe[p + 1] = 'E';
  PutU16(pe, p + 4, layout.pe32Plus ? 0x8664 : 0x14C);
  PutU16(pe, p + 6, 1);
  PutU16(pe, p + 20, optionalSize);
  PutU16(pe, p + 22, 0x0102);
  const std::uint32_t o = p + 24;
  PutU16(pe, o, layout.pe32Plus ? 0x20B : 0x10B);
  const std::uint32_t dirs = o + (layout.pe32Plus ? 112 : 96);
  PutU32(pe, dirs - 4, 16);
  PutU32(pe, dirs + 16, layout.sectionVa);
  PutU32(pe, dirs + 20, static_cast<std::uint32_t>(rsrc.size()));
  const std::uint32_t s = o + optionalSize;
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (int i = 0; i < 8; ++i) pe[s + i] = name[i];
  PutU32(pe, s + 8, static_cast<std::uint32_t>(rsrc.size()));
  PutU32(pe, s + 12, layout.sectionVa);
  PutU32(pe, s + 16, static_cast<std::uint32_t>(rsrc.size()));
  PutU32(pe, s + 20, layout.sectionRaw);
  if (pe.size() > layout.sectionRaw) throw std::logic_error("headers overlap the section");
  pe.insert(pe.end(), rsrc.begin(), rsrc.end());
  return pe;
}

PeOffsets OffsetsOf(const Bytes& pe) {
  PeOffsets r;
  r.peHeader = GetU32(pe, 0x3C);
  r.optionalHeader = r.peHeader + 24;
  const bool plus = pe[r.optionalHeader] == 0x0B && pe[r.optionalHeader + 1] == 0x02;
  r.resourceDirEntry = r.optionalHeader + (plus ? 112 : 96) + 16;
  r.sectionTable = r.optionalHeader + (pe[r.peHeader + 20] | (pe[r.peHeader + 21] << 8));
  r.resourceRoot = GetU32(pe, r.sectionTable + 20);
  return r;
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace petest
