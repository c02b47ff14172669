// Ownership of OpenSSL objects: Owned<X509, X509_free> frees with the
// library's own function.
#pragma once
#include <memory>

namespace quon {

template <typename T, void (*Free)(T*)>
struct OpenSslFreer {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, OpenSslFreer<T, Free>>;

}  // namespace quon
