#include "net/ReplyReader.h"

#include <cstdio>
#include <string>

namespace quon {
namespace {

std::string CutShortText(uint64_t received, uint64_t stated) {
  char text[128];
  std::snprintf(text, sizeof text, "The server's reply was cut short: %llu of %llu bytes arrived.",
                static_cast<unsigned long long>(received), static_cast<unsigned long long>(stated));
  return text;
}

}  // namespace

size_t ReplyReader::Read(void* buffer, size_t n) {
  size_t got = m_request.Read(buffer, n);
  if (got > 0) {
    m_received += got;
    if (m_display) m_display->DataReceived(got);
  } else if (n > 0 && m_stated && m_received < *m_stated) {
    throw InternetException(inet::kErrorConnectionAborted, CutShortText(m_received, *m_stated));
  }
  return got;
}

}  // namespace quon
