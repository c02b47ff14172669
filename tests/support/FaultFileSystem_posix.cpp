#include "support/FaultFileSystem.h"

namespace quon::test {

// A rename is durable once its directory is flushed.
const bool kRenamesWriteThrough = false;

}  // namespace quon::test
