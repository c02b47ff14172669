// Where the system calls the program (window procedures, COM methods), no
// C++ exception may pass: the system's frames in between cannot unwind it,
// and the process would end. Each such entry runs its work through
// AtBoundary, which catches what escapes, traces it and gives the
// boundary's failure value instead.
#pragma once
#include <exception>
#include <utility>

#include "base/Trace.h"

namespace quon::win {

template <class Result, class Work>
Result AtBoundary(const char* where, Result failed, Work&& work) noexcept {
  try {
    return std::forward<Work>(work)();
  } catch (const std::exception& e) {
    TraceMessage(where, e.what());
  } catch (...) {
    TraceMessage(where, "unknown exception");
  }
  return failed;
}

}  // namespace quon::win
