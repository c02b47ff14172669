// Reference counting for the browser host's COM objects: each deletes itself
// when its last reference goes. The objects alive are counted (tests).
#pragma once
#include <windows.h>

#include <atomic>

namespace quon::win {

// A COM object's reference count; it starts with the creator's reference.
class ComCount {
 public:
  ComCount() { ++s_live; }
  ~ComCount() { --s_live; }
  ComCount(const ComCount&) = delete;
  ComCount& operator=(const ComCount&) = delete;
  ULONG operator++() { return ++m_refs; }
  ULONG operator--() { return --m_refs; }
  // The COM objects with a count of their own alive in the process.
  static long LiveObjects() { return s_live; }

 private:
  std::atomic<ULONG> m_refs{1};
  static inline std::atomic<long> s_live{0};
};

// IUnknown::Release of `object`, whose count is `refs`.
template <class Object>
ULONG ReleaseAndDelete(Object* object, ComCount& refs) {
  const ULONG left = --refs;
  if (left == 0) delete object;
  return left;
}

}  // namespace quon::win
