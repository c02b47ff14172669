#include <fcntl.h>
#include <io.h>
#include <cstdio>

#include "platform_stdio.h"
namespace quon {
void SetBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}
}  // namespace quon
