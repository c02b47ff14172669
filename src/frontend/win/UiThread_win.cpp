#include "frontend/win/UiThread_win.h"

#include <windows.h>

#include <deque>
#include <mutex>
#include <utility>

#include "frontend/win/Boundary_win.h"

namespace quon::win {
namespace {

constexpr UINT kWmRunPosted = WM_APP + 0x52;
constexpr char kWindowClass[] = "QuonUiThread";

class WinUiThread : public UiThread {
 public:
  WinUiThread() : m_thread(GetCurrentThreadId()) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = &WinUiThread::WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    m_window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrA(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  // One message may carry several functions: each message runs whatever is
  // queued by then, so that a full message queue loses none.
  void Post(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_queue.push_back(std::move(fn));
    }
    PostMessageA(m_window, kWmRunPosted, 0, 0);
  }

  bool IsCurrent() const override { return GetCurrentThreadId() == m_thread; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kWmRunPosted) return DefWindowProcA(hwnd, msg, wParam, lParam);
    auto* self = reinterpret_cast<WinUiThread*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self) self->RunQueued();
    return 0;
  }

  // One at a time from the front: a function that runs a nested message
  // loop (a message box) lets the next ones start meanwhile, in order.
  void RunQueued() {
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty()) return;
        fn = std::move(m_queue.front());
        m_queue.pop_front();
      }
      AtBoundary("Posted call:", 0, [&fn] {
        fn();
        return 0;
      });
    }
  }

  DWORD m_thread;
  HWND m_window = nullptr;
  std::mutex m_mutex;
  std::deque<std::function<void()>> m_queue;
};

}  // namespace

UiThread& Ui() {
  static auto* ui = new WinUiThread;
  return *ui;
}

}  // namespace quon::win
