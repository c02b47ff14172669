#include "support/FaultFileSystem.h"

namespace quon::test {

// MOVEFILE_WRITE_THROUGH: a rename is on the disk when it returns.
const bool kRenamesWriteThrough = true;

}  // namespace quon::test
