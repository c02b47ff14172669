#include "platform_stdio.h"
namespace quon {
void SetBinaryStdio() {}  // POSIX streams are always binary.
}
