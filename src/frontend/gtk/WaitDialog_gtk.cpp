#include "frontend/gtk/WaitDialog_gtk.h"

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "frontend/gtk/GtkUi_gtk.h"
#include "frontend/gtk/UiThread_gtk.h"

namespace quon {
namespace {

constexpr const char* kWaitCaption = "QUON";
constexpr const char* kConnecting = "Connecting to Internet.";
constexpr const char* kMayTakeMinutes = "This may take a few minutes ";

// Everything of one open dialog that the main loop's callbacks touch. Only
// the user-interface thread reads or writes it; the worker reaches it only
// through posted calls, which do nothing once the dialog has ended.
struct DialogState {
  bool alive = true;
  bool ended = false;
  WaitDialogEvents* events = nullptr;
  GtkWidget* window = nullptr;
  GtkWidget* status = nullptr;  // IDC_WAIT_STATUS (progress form) or the first text
  GtkWidget* detail = nullptr;  // IDC_WAIT_DETAIL (progress form) or the second text
  GtkWidget* bar = nullptr;     // IDC_PROGRESS, progress form only
  GtkWidget* animation = nullptr;
  bool barShown = false;
  int low = 0, high = 100;
  int frame = 1;
  guint animationSource = 0;
  std::map<unsigned, guint> timers;
  GMainLoop* loop = nullptr;

  void StopSources() {
    if (animationSource) g_source_remove(animationSource);
    animationSource = 0;
    for (auto& [id, source] : timers) g_source_remove(source);
    timers.clear();
  }
};

using StatePtr = std::shared_ptr<DialogState>;

struct TimerData {
  StatePtr state;
  unsigned id;
};

gboolean OnTimerTick(gpointer data) {
  auto* timer = static_cast<TimerData*>(data);
  if (!timer->state->alive) return G_SOURCE_REMOVE;
  timer->state->events->OnTimer(timer->id);
  return G_SOURCE_CONTINUE;
}

void FreeTimer(gpointer data) { delete static_cast<TimerData*>(data); }

gboolean OnAnimationTick(gpointer data) {
  auto& state = **static_cast<StatePtr*>(data);
  if (!state.alive) return G_SOURCE_REMOVE;
  state.frame = state.frame % gtkui::kAnimationFrames + 1;
  gtk_image_set_from_pixbuf(GTK_IMAGE(state.animation), gtkui::AnimationFrame(state.frame));
  return G_SOURCE_CONTINUE;
}

void FreeStatePtr(gpointer data) { delete static_cast<StatePtr*>(data); }

gboolean IgnoreDelete(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

void OnCancelClicked(GtkButton*, gpointer data) {
  auto& state = **static_cast<StatePtr*>(data);
  if (state.alive) state.events->OnCancel();
}

class GtkWaitWindow : public PostingWaitDialogWindow {
 public:
  GtkWaitWindow(StatePtr state, WaitDialogEvents& events)
      : PostingWaitDialogWindow(gtkui::Ui(), events), m_state(std::move(state)) {}

  // What the worker posted, applied on the user-interface thread.
  void ApplyStatusText(const std::string& text) override {
    if (m_state->status) gtk_label_set_text(GTK_LABEL(m_state->status), gtkui::ToUtf8(text).c_str());
  }
  void ApplyDetailText(const std::string& text) override {
    if (m_state->detail) gtk_label_set_text(GTK_LABEL(m_state->detail), gtkui::ToUtf8(text).c_str());
  }
  void ApplyProgressBar(int low, int high) override {
    DialogState& s = *m_state;
    if (!s.bar) return;
    s.low = low;
    s.high = high;
    s.barShown = true;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(s.bar), 0.0);
    gtk_widget_show(s.bar);
  }
  void ApplyProgressPos(int pos) override {
    DialogState& s = *m_state;
    if (!s.bar) return;
    double span = s.high - s.low;
    double fraction = span > 0 ? (pos - s.low) / span : 0.0;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(s.bar), fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
  }

  // User-interface thread.
  void StartTimer(unsigned id, unsigned intervalMs) override {
    StopTimer(id);
    m_state->timers[id] = g_timeout_add_full(G_PRIORITY_DEFAULT, intervalMs, OnTimerTick,
                                             new TimerData{m_state, id}, FreeTimer);
  }
  void StopTimer(unsigned id) override {
    auto it = m_state->timers.find(id);
    if (it == m_state->timers.end()) return;
    g_source_remove(it->second);
    m_state->timers.erase(it);
  }
  void PlayAnimation() override {
    if (m_state->animationSource) return;
    m_state->frame = 1;
    gtk_image_set_from_pixbuf(GTK_IMAGE(m_state->animation), gtkui::AnimationFrame(1));
    m_state->animationSource = g_timeout_add_full(G_PRIORITY_DEFAULT, gtkui::kAnimationFrameMs, OnAnimationTick,
                                                  new StatePtr(m_state), FreeStatePtr);
  }
  void EndDialog(int) override {
    DialogState& s = *m_state;
    if (s.ended) return;
    s.ended = true;
    s.alive = false;
    Closed();
    s.StopSources();
    if (s.loop && g_main_loop_is_running(s.loop)) g_main_loop_quit(s.loop);
  }

 private:
  StatePtr m_state;
};

GtkWidget* NewLabel(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  return label;
}

}  // namespace

void GtkWaitDialogHost::RunModal(WaitForm form, WaitDialogEvents& events) {
  auto state = std::make_shared<DialogState>();
  state->events = &events;
  const bool progress = form == WaitForm::Progress;

  GtkWidget* window = gtkui::NewDialogWindow(kWaitCaption, 186, progress ? 87 : 54);
  state->window = window;
  gtk_window_set_modal(GTK_WINDOW(window), TRUE);
  gtk_window_set_deletable(GTK_WINDOW(window), FALSE);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window), TRUE);
  g_signal_connect(window, "delete-event", G_CALLBACK(IgnoreDelete), nullptr);
  GtkFixed* fixed = GTK_FIXED(gtk_bin_get_child(GTK_BIN(window)));

  state->status = NewLabel(kConnecting);
  state->detail = NewLabel(kMayTakeMinutes);
  state->animation = gtk_image_new_from_pixbuf(gtkui::AnimationFrame(1));
  gtk_widget_set_halign(state->animation, GTK_ALIGN_START);
  gtk_widget_set_valign(state->animation, GTK_ALIGN_START);
  gtkui::PlaceDlu(fixed, state->status, 7, 7, 94, 8);
  gtkui::PlaceDlu(fixed, state->detail, 7, progress ? 32 : 18, 96, 8);
  gtkui::PlaceDlu(fixed, state->animation, 127, 7, 52, progress ? 43 : 40);
  GtkWidget* cancel = nullptr;
  if (progress) {
    state->bar = gtk_progress_bar_new();
    gtkui::PlaceDlu(fixed, state->bar, 7, 50, 172, 11);
    cancel = gtk_button_new_with_label("Cancel");
    gtkui::PlaceDlu(fixed, cancel, 67, 66, 50, 14);
    g_signal_connect_data(cancel, "clicked", G_CALLBACK(OnCancelClicked), new StatePtr(state),
                          [](gpointer data, GClosure*) { delete static_cast<StatePtr*>(data); },
                          GConnectFlags(0));
  }

  gtkui::SetFrame(window, false, false);  // no system menu, no close box

  GtkWaitWindow dialogWindow(state, events);
  gtkui::PushModal(GTK_WINDOW(window));
  events.OnInitDialog(dialogWindow);
  if (!state->ended) {
    gtk_widget_show_all(window);
    if (state->bar && !state->barShown) gtk_widget_hide(state->bar);
    if (cancel) gtk_widget_grab_focus(cancel);
    state->loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(state->loop);
    g_main_loop_unref(state->loop);
    state->loop = nullptr;
  }
  state->alive = false;
  state->StopSources();
  gtkui::PopModal(GTK_WINDOW(window));
  gtk_widget_destroy(window);
  state->window = state->status = state->detail = state->bar = state->animation = nullptr;
}

}  // namespace quon
