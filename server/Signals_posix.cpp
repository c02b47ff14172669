#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "Signals.h"

namespace quon::server {

struct SignalWatcher::Impl {
  sigset_t set;
  std::atomic<bool> done{false};
  std::thread thread;
};

SignalWatcher::SignalWatcher(std::function<void()> onStop, std::function<void()> onReload)
    : m_impl(std::make_unique<Impl>()) {
  signal(SIGPIPE, SIG_IGN);  // a client that goes away must not end the server
  sigemptyset(&m_impl->set);
  sigaddset(&m_impl->set, SIGINT);
  sigaddset(&m_impl->set, SIGTERM);
  sigaddset(&m_impl->set, SIGHUP);
  sigaddset(&m_impl->set, SIGUSR1);  // wakes the thread for the destructor
  pthread_sigmask(SIG_BLOCK, &m_impl->set, nullptr);
  Impl* d = m_impl.get();
  d->thread = std::thread([d, onStop = std::move(onStop), onReload = std::move(onReload)] {
    while (!d->done) {
      int sig = 0;
      if (sigwait(&d->set, &sig) != 0) continue;
      if (d->done) break;
      if (sig == SIGHUP) {
        if (onReload) onReload();
      } else if (sig == SIGINT || sig == SIGTERM) {
        if (onStop) onStop();
      }
    }
  });
}

SignalWatcher::~SignalWatcher() {
  m_impl->done = true;
  pthread_kill(m_impl->thread.native_handle(), SIGUSR1);
  m_impl->thread.join();
}

}  // namespace quon::server
