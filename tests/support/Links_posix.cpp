#include <unistd.h>

#include "support/Links.h"

namespace quon::test {

bool MakeLink(const std::string& link, const std::string& target) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool RemoveLink(const std::string& link) { return ::unlink(link.c_str()) == 0; }

}  // namespace quon::test
