// The Linux implementation of Platform: /proc/self/exe for the running
// executable, the portable PE reader for version resources, dlopen for the
// CAB library (libcablib.so in the product directory).
#pragma once
#include <memory>

#include "update/Platform.h"

namespace quon {

std::unique_ptr<Platform> MakePosixPlatform();

}  // namespace quon
