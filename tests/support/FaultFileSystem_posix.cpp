#include "support/FaultFileSystem.h"

namespace quon::test {

// A rename is durable once its directory is flushed.
const bool kRenamesWriteThrough = false;

// Whether a test makes a folder someone else's by opening it to others
// (its mode lets others write it).
const bool kOthersMayWriteMakesItNotPrivate = true;

}  // namespace quon::test
