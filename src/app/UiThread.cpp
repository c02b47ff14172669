#include "app/UiThread.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "app/WaitDialog.h"
#include "base/DisplayText.h"

namespace quon {

struct PendingCall {
  std::function<void()> fn;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool ran = false;

  void Finish(bool didRun) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      ran = didRun;
    }
    cv.notify_all();
  }
};

// What the posted calls share with their caller; it outlives both.
struct UiCaller::Shared {
  std::mutex mutex;
  bool stopped = false;
  std::vector<std::shared_ptr<PendingCall>> pending;
};

UiCaller::UiCaller(UiThread& ui) : m_ui(ui), m_shared(std::make_shared<Shared>()) {}

bool UiCaller::Run(const std::function<void()>& fn) {
  if (m_ui.IsCurrent()) {
    fn();
    return true;
  }
  auto call = std::make_shared<PendingCall>();
  call->fn = fn;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->stopped) return false;
    m_shared->pending.push_back(call);
  }
  m_ui.Post([shared = m_shared, call] {
    bool stopped;
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      stopped = shared->stopped;
      auto& pending = shared->pending;
      pending.erase(std::remove(pending.begin(), pending.end(), call), pending.end());
    }
    if (!stopped) call->fn();
    call->Finish(!stopped);
  });
  std::unique_lock<std::mutex> lock(call->mutex);
  call->cv.wait(lock, [&] { return call->done; });
  return call->ran;
}

void UiCaller::Stop() {
  std::vector<std::shared_ptr<PendingCall>> pending;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stopped = true;
    pending.swap(m_shared->pending);
  }
  for (auto& call : pending) call->Finish(false);
}

int UiThreadPrompts::MessageBox(std::string_view text, MsgButtons buttons, MsgIcon icon) {
  // A text from a server, an archive or a list file can be of any length:
  // the box shows what fits on a screen, the same on every front end.
  const std::string copy = BoundedMessage(text);
  int answer = buttons == MsgButtons::YesNo ? kIdNo : kIdOk;
  m_caller.Run([&] { answer = ShowMessageBox(copy, buttons, icon); });
  return answer;
}

bool UiThreadPrompts::PromptProxyCredentials(std::string_view proxy, std::string& user, std::string& password) {
  const std::string proxyCopy(proxy);
  std::string u = user, p = password;
  bool ok = false;
  m_caller.Run([&] { ok = ShowProxyPrompt(proxyCopy, u, p); });
  if (ok) {
    user = u;
    password = p;
  }
  return ok;
}

void LetWorkersEnd(const std::function<void()>& stopPrompts, int exitCode, std::chrono::milliseconds wait) {
  stopPrompts();
  if (WaitForWaitWorkers(wait)) return;
  std::fflush(nullptr);
  std::_Exit(exitCode);
}

void LetWorkersEnd(UiThreadPrompts& prompts, int exitCode, std::chrono::milliseconds wait) {
  LetWorkersEnd([&prompts] { prompts.Stop(); }, exitCode, wait);
}

}  // namespace quon
