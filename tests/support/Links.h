// Symbolic links for tests: on Linux the system's own; under Wine a Unix
// link inside its drive, which Windows programs see as a reparse point
// (FILE_ATTRIBUTE_REPARSE_POINT), the way Windows shows a junction.
#pragma once
#include <string>

namespace quon::test {

// Makes `link` a symbolic link to `target` (both paths of this system);
// false when it could not be made.
bool MakeLink(const std::string& link, const std::string& target);
// Removes the link itself; false when it is still there.
bool RemoveLink(const std::string& link);

}  // namespace quon::test
