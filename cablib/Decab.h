// Inside of the CAB library: the unpacker with adjustable limits.
#ifndef CABLIB_DECAB_H
#define CABLIB_DECAB_H

#include <cstddef>
#include <cstdint>

#include "SafeNames.h"

namespace cablib {

struct DecabOptions {
  std::uint64_t maxTotalBytes = kDefaultMaxTotalBytes;  // bound of the declared total
  bool checkFreeSpace = true;                           // refuse when the volume lacks room
};

// do_decab with explicit limits: 1 when every file was unpacked, else 0 with
// every file this call created removed again.
int DecabFile(const char* archive, const char* dir, const DecabOptions& options);

// The same for an archive held in memory (Linux only; used by the fuzzer).
int DecabMemory(const unsigned char* data, std::size_t size, const char* dir,
                const DecabOptions& options);

}  // namespace cablib

#endif
