// Prints what the Linux platform reports as the running executable's path,
// between brackets so that an empty answer is visible.
#include <cstdio>

#include "platform/posix/PosixPlatform.h"

int main() {
  std::printf("[%s]\n", quon::MakePosixPlatform()->ModuleFileName().c_str());
  return 0;
}
