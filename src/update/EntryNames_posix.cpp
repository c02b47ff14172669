// Linux: list entries are Windows-1252 text, and the CAB library gives
// unpacked files the same names in UTF-8.
#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "update/Installer.h"

namespace quon {

namespace {

// A byte that Windows-1252 leaves undefined becomes the code point of the
// same value, as Windows maps it.
void AppendLatin1(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out += static_cast<char>(byte);
    return;
  }
  out += static_cast<char>(0xC0 | (byte >> 6));
  out += static_cast<char>(0x80 | (byte & 0x3F));
}

}  // namespace

std::string EntryNameOnDisk(std::string_view component) {
  if (std::all_of(component.begin(), component.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(component);
  }
  const iconv_t fromCp1252 = ::iconv_open("UTF-8", "WINDOWS-1252");
  std::string out;
  out.reserve(component.size() * 3);
  char* in = const_cast<char*>(component.data());
  size_t inLeft = component.size();
  char buffer[256];
  while (inLeft > 0) {
    char* to = buffer;
    size_t toLeft = sizeof buffer;
    size_t result = static_cast<size_t>(-1);
    errno = EILSEQ;
    if (fromCp1252 != reinterpret_cast<iconv_t>(-1)) result = ::iconv(fromCp1252, &in, &inLeft, &to, &toLeft);
    out.append(buffer, static_cast<size_t>(to - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // An undefined byte (or no converter at all): taken as Latin-1.
    AppendLatin1(out, static_cast<unsigned char>(*in));
    ++in;
    --inLeft;
  }
  if (fromCp1252 != reinterpret_cast<iconv_t>(-1)) ::iconv_close(fromCp1252);
  return out;
}

// Names differing in letter case are different files here.
std::string NameKey(std::string_view path) { return std::string(path); }

}  // namespace quon
