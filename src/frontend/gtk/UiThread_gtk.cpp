#include "frontend/gtk/UiThread_gtk.h"

#include <glib.h>

#include <thread>

namespace quon::gtkui {
namespace {

std::thread::id g_uiThread;

class GtkUiThread : public UiThread {
 public:
  // Always queued: g_main_context_invoke would run the call on this thread
  // whenever the user-interface thread is between main loops (as when a
  // wait dialog has started its worker but not yet its loop).
  void Post(std::function<void()> fn) override {
    g_idle_add_full(G_PRIORITY_DEFAULT, RunPosted, new std::function<void()>(std::move(fn)), FreePosted);
  }
  bool IsCurrent() const override { return IsUiThread(); }

 private:
  static gboolean RunPosted(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
  }
  static void FreePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }
};

}  // namespace

void RememberUiThread() { g_uiThread = std::this_thread::get_id(); }

bool IsUiThread() { return std::this_thread::get_id() == g_uiThread; }

UiThread& Ui() {
  static auto* ui = new GtkUiThread;
  return *ui;
}

}  // namespace quon::gtkui
