#include "support/FaultFileSystem.h"

namespace quon::test {

// MOVEFILE_WRITE_THROUGH: a rename is on the disk when it returns.
const bool kRenamesWriteThrough = true;

// Whether a test makes a folder someone else's by opening it to others
// (only its owner tells, which a test cannot give away).
const bool kOthersMayWriteMakesItNotPrivate = false;

}  // namespace quon::test
