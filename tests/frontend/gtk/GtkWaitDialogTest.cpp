// The GTK wait dialog and message boxes with the real wait-dialog logic,
// under a private Xvfb. A probe on the user-interface thread looks at the
// open windows and plays the user (Cancel, Escape, answering a box).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "app/WaitDialog.h"
#include "frontend/gtk/GtkUi_gtk.h"
#include "frontend/gtk/UiThread_gtk.h"
#include "frontend/gtk/UserPrompts_gtk.h"
#include "frontend/gtk/WaitDialog_gtk.h"
#include "support/PrivateXvfb.h"

namespace quon {
namespace {

test::PrivateXvfb* g_xvfb = nullptr;

// gtk_init on a private Xvfb.
bool StartDisplay() {
  g_xvfb = new test::PrivateXvfb("800x600x24");
  if (g_xvfb->Name().empty()) return false;
  setenv("DISPLAY", g_xvfb->Name().c_str(), 1);
  gtkui::PreInit();
  if (!gtk_init_check(nullptr, nullptr)) return false;
  gtkui::Init();
  return true;
}

// Toplevel windows of this process with the given title that are showing.
GtkWidget* FindWindow(const char* title) {
  GList* list = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* l = list; l; l = l->next) {
    GtkWindow* w = GTK_WINDOW(l->data);
    const char* t = gtk_window_get_title(w);
    if (t && std::string(t) == title && gtk_widget_get_visible(GTK_WIDGET(w))) found = GTK_WIDGET(w);
  }
  g_list_free(list);
  return found;
}

template <typename T>
T* FindChild(GtkWidget* root, std::function<bool(GtkWidget*)> match) {
  if (match(root)) return reinterpret_cast<T*>(root);
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(root));
  T* found = nullptr;
  for (GList* l = children; l && !found; l = l->next) found = FindChild<T>(GTK_WIDGET(l->data), match);
  g_list_free(children);
  return found;
}

GtkWidget* ButtonLabelled(GtkWidget* window, const char* label) {
  return FindChild<GtkWidget>(window, [label](GtkWidget* w) {
    return GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
           std::string(gtk_button_get_label(GTK_BUTTON(w))) == label;
  });
}

bool HasLabel(GtkWidget* window, const std::string& text) {
  return FindChild<GtkWidget>(window, [&text](GtkWidget* w) {
           return GTK_IS_LABEL(w) && gtk_widget_get_visible(w) && text == gtk_label_get_text(GTK_LABEL(w));
         }) != nullptr;
}

void SendKey(GtkWidget* window, guint keyval) {
  GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
  event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
  event->key.keyval = keyval;
  event->key.send_event = TRUE;
  event->key.time = GDK_CURRENT_TIME;
  GdkDisplay* display = gtk_widget_get_display(window);
  gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
  gtk_main_do_event(event);
  gdk_event_free(event);
}

// Runs `step` on the user-interface thread every 20 ms while dialogs run,
// until it returns true.
class Probe {
 public:
  explicit Probe(std::function<bool()> step) : m_step(std::move(step)) {
    m_source = g_timeout_add(20, &Probe::Tick, this);
  }
  ~Probe() {
    if (m_source) g_source_remove(m_source);
  }
  bool Done() const { return m_source == 0; }

 private:
  static gboolean Tick(gpointer data) {
    auto* self = static_cast<Probe*>(data);
    if (!self->m_step()) return G_SOURCE_CONTINUE;
    self->m_source = 0;
    return G_SOURCE_REMOVE;
  }
  std::function<bool()> m_step;
  guint m_source = 0;
};

class GtkWaitDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_ready = StartDisplay(); }
  static void TearDownTestSuite() {
    WaitForWaitWorkers(std::chrono::seconds(10));
    delete g_xvfb;
    g_xvfb = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_ready) << "no display"; }

  static bool s_ready;
  GtkWaitDialogHost m_host;
  GtkUserPrompts m_prompts;
};
bool GtkWaitDialogTest::s_ready = false;

// Waits on the worker for `flag`, or for the dialog to abandon it.
void WaitFor(const std::atomic<bool>& flag, const CancelFlag& cancel) {
  for (int i = 0; i < 1000 && !flag && !cancel.IsCancelled(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST_F(GtkWaitDialogTest, PlainFormShowsItsTextsAndIgnoresEscape) {
  std::atomic<bool> seen{false};
  bool texts = false, stillOpen = false;
  Probe probe([&] {
    GtkWidget* dialog = FindWindow("QUON");
    if (!dialog) return false;
    texts = HasLabel(dialog, "Connecting to Internet.") && HasLabel(dialog, "This may take a few minutes ") &&
            !ButtonLabelled(dialog, "Cancel");
    SendKey(dialog, GDK_KEY_Escape);
    SendKey(dialog, GDK_KEY_Return);
    stillOpen = FindWindow("QUON") != nullptr;
    seen = true;
    return true;
  });
  // Kinds other than 1 give the plain form.
  int32_t result = RunWithWaitDialog(m_host, 7, [&](ProgressDisplay* progress, const CancelFlag& cancel) {
    EXPECT_EQ(progress, nullptr);
    WaitFor(seen, cancel);
    return 5;
  });
  EXPECT_EQ(result, 5);
  EXPECT_TRUE(texts);
  EXPECT_TRUE(stillOpen) << "Escape and Enter do not end the wait";
}

TEST_F(GtkWaitDialogTest, ProgressFromTheWorkerReachesTheControls) {
  std::atomic<bool> seen{false};
  bool barHiddenFirst = false, shown = false;
  double fraction = -1;
  Probe probe([&] {
    GtkWidget* dialog = FindWindow("QUON");
    if (!dialog) return false;
    GtkWidget* bar = FindChild<GtkWidget>(dialog, [](GtkWidget* w) { return GTK_IS_PROGRESS_BAR(w); });
    if (!bar) return false;
    if (!gtk_widget_get_visible(bar)) {
      barHiddenFirst = true;
      return false;
    }
    fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar));
    if (fraction < 0.39) return false;
    shown = HasLabel(dialog, "Downloading file...") && HasLabel(dialog, "40 KB  of  100 KB");
    seen = true;
    return true;
  });
  std::atomic<bool> go{false};
  int32_t result = RunWithWaitDialog(m_host, 1, [&](ProgressDisplay* progress, const CancelFlag& cancel) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the probe sees the hidden bar
    progress->SetStatusText("Downloading file...");
    progress->SetDetailText("");
    progress->ShowProgressBar(0, 100);
    progress->SetDetailText("40 KB  of  100 KB");
    progress->SetProgressPos(40);
    WaitFor(seen, cancel);
    return 1;
  });
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(barHiddenFirst) << "the bar is hidden until the download shows it";
  EXPECT_NEAR(fraction, 0.40, 0.001);
  EXPECT_TRUE(shown);
}

TEST_F(GtkWaitDialogTest, CancelEndsTheDialogAtOnceAndAbandonsTheWorker) {
  std::atomic<bool> sawCancel{false};
  Probe probe([&] {
    GtkWidget* dialog = FindWindow("QUON");
    GtkWidget* cancel = dialog ? ButtonLabelled(dialog, "Cancel") : nullptr;
    if (!cancel) return false;
    gtk_button_clicked(GTK_BUTTON(cancel));
    return true;
  });
  auto late = std::make_shared<std::atomic<int>>(0);
  int32_t result = RunWithWaitDialog(m_host, 1, [late, &sawCancel](ProgressDisplay* progress, const CancelFlag& cancel) {
    while (!cancel.IsCancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sawCancel = true;
    // Whatever an abandoned worker still does reaches nothing.
    for (int i = 0; i < 50; ++i) progress->SetProgressPos(i);
    ++*late;
    return 1;
  });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(probe.Done());
  EXPECT_TRUE(WaitForWaitWorkers(std::chrono::seconds(10)));
  EXPECT_TRUE(sawCancel);
  // Queued updates of the abandoned worker are dropped by the main loop.
  gtkui::FlushEvents();
  EXPECT_EQ(FindWindow("QUON"), nullptr);
}

TEST_F(GtkWaitDialogTest, TimeLimitEndsAHangingCall) {
  // Ten ticks of a shortened timer stand for the 590 seconds.
  int32_t result = RunWithWaitDialog(
      m_host, 0,
      [](ProgressDisplay*, const CancelFlag& cancel) {
        while (!cancel.IsCancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 1;
      },
      30);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(FindWindow("QUON"), nullptr);
}

TEST_F(GtkWaitDialogTest, MessageBoxesFromTheWorkerAreAnsweredOnTheUiThread) {
  std::string okText, questionText;
  Probe probe([&] {
    GtkWidget* box = FindWindow(kAppTitle);
    if (!box) return false;
    if (HasLabel(box, "Operation Failed.")) {
      okText = "Operation Failed.";
      EXPECT_NE(ButtonLabelled(box, "OK"), nullptr);
      gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
      return false;
    }
    if (HasLabel(box, "Sure?\nReally.")) {  // CR LF shows as one line break
      questionText = "Sure?";
      SendKey(box, GDK_KEY_Escape);  // a question has no cancel: still open
      if (!FindWindow(kAppTitle)) return true;
      gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_NO);
      return true;
    }
    return false;
  });
  int ok = 0, answer = 0;
  int32_t result = RunWithWaitDialog(m_host, 0, [&](ProgressDisplay*, const CancelFlag&) {
    ok = m_prompts.MessageBox("Operation Failed.");
    answer = m_prompts.MessageBox("Sure?\r\nReally.", MsgButtons::YesNo);
    return 1;
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ok, kIdOk);
  EXPECT_EQ(answer, kIdNo);
  EXPECT_EQ(okText, "Operation Failed.");
  EXPECT_EQ(questionText, "Sure?");
}

// Item 1 of issue 21: whatever the text (a list file's entry of 64,001
// bytes, a reply of thousands of lines or one endless word), the box and
// its OK button stay on the 800 x 600 screen.
TEST_F(GtkWaitDialogTest, ABoxStaysOnTheScreenWhateverItsText) {
  std::string deep;
  while (deep.size() < 63999) deep += "a/";
  const std::string texts[] = {"Failed to update file:\r\n" + deep + "x", std::string(5000, '\n') + "end",
                               std::string(200000, 'w'),
                               "Line\r\n" + std::string(999, 'x') + "\n" + std::string(40, 'y')};
  for (const std::string& text : texts) {
    GdkRectangle frame{}, ok{};
    bool seen = false;
    Probe probe([&] {
      GtkWidget* box = FindWindow(kAppTitle);
      if (!box || !gtk_widget_get_mapped(box)) return false;
      GtkWidget* button = ButtonLabelled(box, "OK");
      if (!button || !gtk_widget_get_mapped(button)) return false;
      gdk_window_get_frame_extents(gtk_widget_get_window(box), &frame);
      int x = 0, y = 0;
      gtk_widget_translate_coordinates(button, gtk_widget_get_toplevel(button), 0, 0, &x, &y);
      gdk_window_get_origin(gtk_widget_get_window(box), &ok.x, &ok.y);
      ok.x += x;
      ok.y += y;
      ok.width = gtk_widget_get_allocated_width(button);
      ok.height = gtk_widget_get_allocated_height(button);
      seen = true;
      gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
      return true;
    });
    EXPECT_EQ(m_prompts.MessageBox(text), kIdOk);
    ASSERT_TRUE(seen) << text.substr(0, 40);
    EXPECT_LE(frame.height, 600) << text.substr(0, 40);
    EXPECT_LE(frame.width, 800) << text.substr(0, 40);
    EXPECT_GE(ok.y, 0);
    EXPECT_LE(ok.y + ok.height, 600) << "the OK button is off the screen: " << text.substr(0, 40);
  }
}

TEST_F(GtkWaitDialogTest, WorkerCallsRunOnTheUiThreadEvenBetweenMainLoops) {
  // A worker may ask before the dialog's loop runs (its worker starts in
  // the dialog's initialisation): the call must still wait for the
  // user-interface thread, never run on the worker.
  const std::thread::id ui = std::this_thread::get_id();
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  UiCaller caller(gtkui::Ui());
  std::thread worker([&] {
    caller.Run([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // no loop is running meanwhile
  EXPECT_FALSE(returned) << "the call waits for the user-interface thread";
  while (!returned) g_main_context_iteration(nullptr, FALSE);
  worker.join();
  EXPECT_EQ(ranOn, ui);
}

TEST(GtkPageUrls, PathCharactersThatAUrlReadsAsItsOwnAreEscapedForTheBrowser) {
  EXPECT_EQ(gtkui::FileUrlForBrowser("file:///opt/Quon 6/QuonUpdateLast.html"),
            "file:///opt/Quon 6/QuonUpdateLast.html");
  EXPECT_EQ(gtkui::FileUrlForBrowser("file:///opt/C#update9/50%/why?/QuonUpdateLast.html"),
            "file:///opt/C%23update9/50%25/why%3F/QuonUpdateLast.html");
  EXPECT_EQ(gtkui::FileUrlForBrowser("about:blank"), "about:blank");
}

TEST(GtkPageUrls, TheHandlerSeesOnlyARealFragmentAfterAHash) {
  // What the browser reports back for the page above and for a link in it.
  EXPECT_EQ(gtkui::UrlForHandler("file:///opt/C%23update9/50%25/Quon%206/QuonUpdateLast.html"),
            "file:///opt/C%23update9/50%/Quon 6/QuonUpdateLast.html");
  EXPECT_EQ(gtkui::UrlForHandler("file:///opt/C%23update9/QuonUpdateLast.html#update12"),
            "file:///opt/C%23update9/QuonUpdateLast.html#update12");
  EXPECT_EQ(gtkui::UrlForHandler("file:///x/y.html#update%2D3"), "file:///x/y.html#update-3");
  EXPECT_EQ(gtkui::UrlForHandler("file:///x/%zz%4"), "file:///x/%zz%4");  // not escapes
  EXPECT_EQ(gtkui::UrlForHandler("file:///x/%00"), "file:///x/%00");
}

TEST_F(GtkWaitDialogTest, EightBitTextsShowAsUtf8) {
  EXPECT_EQ(gtkui::ToUtf8("Gr\xfc\xdf" "e"), "Gr\xc3\xbc\xc3\x9f" "e");  // Windows-1252
  EXPECT_EQ(gtkui::ToUtf8("Gr\xc3\xbc\xc3\x9f" "e"), "Gr\xc3\xbc\xc3\x9f" "e");  // already UTF-8
  EXPECT_EQ(gtkui::ToUtf8("\x80"), "\xe2\x82\xac");  // the euro sign
}

}  // namespace
}  // namespace quon
