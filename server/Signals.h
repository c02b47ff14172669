// Stop and reload requests from the operating system, delivered on a
// thread of their own so that the handlers may do anything.
#pragma once
#include <functional>
#include <memory>

namespace quon::server {

class SignalWatcher {
 public:
  // Call before any other thread starts: the signals are blocked in the
  // calling thread and in every thread it starts later. onStop runs for an
  // interrupt or termination request, onReload for a hangup.
  SignalWatcher(std::function<void()> onStop, std::function<void()> onReload);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace quon::server
