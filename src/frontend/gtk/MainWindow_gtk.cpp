#include "frontend/gtk/MainWindow_gtk.h"

#include <gdk/gdkkeysyms.h>
#include <gdk/gdkx.h>
#include <webkit2/webkit2.h>

#include <string>

#include "base/Trace.h"
#include "frontend/gtk/GtkUi_gtk.h"
#include "frontend/gtk/UiThread_gtk.h"

namespace quon {

constexpr const char* kMainCaption = "QUON Update";
constexpr const char* kStatusInitial = "Click on one of the links to start the update.";

struct MainWindowCallbacks {
  // Server texts stand in the pages as they come, markup and all, so a page
  // may try to navigate by itself: a refresh, a frame, a form, a base
  // address. A navigation goes ahead only when the program loads one of its
  // own pages, or when the user followed a link (a click, or Enter on a
  // focused link); only the latter reaches the window's link handler and may
  // start a download or the installation. Every other one is refused.
  static gboolean DecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                               gpointer data) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    auto* self = static_cast<GtkMainWindow*>(data);
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (self->TakeOwnPage(uri)) {
      webkit_policy_decision_use(decision);
      return TRUE;
    }
    const bool followedByUser =
        webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
        webkit_navigation_action_is_user_gesture(action);
    if (!followedByUser) {
      TraceMessage("Navigation refused:", uri ? uri : "");
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    if (webkit_navigation_action_is_redirect(action)) {
      // A server's redirection of a link the user followed: the page goes
      // on loading, but only the link itself may name an action.
      webkit_policy_decision_use(decision);
      return TRUE;
    }
    TraceMessage("Navigation:", uri ? uri : "");
    bool cancel = false;
    // WebKit hands the URL over escaped.
    if (self->m_events && !self->m_ended)
      self->m_events->OnBeforeNavigate2(gtkui::UrlForHandler(uri ? uri : ""), cancel);
    if (cancel)
      webkit_policy_decision_ignore(decision);
    else
      webkit_policy_decision_use(decision);
    return TRUE;
  }

  static void LoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    const char* uri = webkit_web_view_get_uri(view);
    const bool blank = uri && g_str_equal(uri, "about:blank");  // the start of the browser processes
    if (event != WEBKIT_LOAD_FINISHED || blank) return;
    if (!self->m_firstLoadTraced) {
      self->m_firstLoadTraced = true;
      // The start-up marker that bench/gui reads.
      TraceMessage("First page loaded.");
    }
    // Every page on screen, for the memory benchmark (bench/gui).
    TraceMessage("Page loaded.");
  }

  static gboolean LoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer) {
    TraceMessage("Page load failed:", std::string(uri ? uri : "") + " " + (error ? error->message : ""));
    return FALSE;  // the browser shows its own error page
  }

  static void WebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
    TraceMessage("Browser process ended (reason in param)", static_cast<int64_t>(reason));
  }

  static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    if (self->m_events && !self->m_ended) self->m_events->OnClose();
    return TRUE;  // the quit sequence ends the dialog when it should
  }

  static gboolean OnKeyPressed(GtkWidget* widget, GdkEventKey* key, gpointer data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    if (key->keyval == GDK_KEY_Escape) return TRUE;  // the cancel command does nothing
    if (key->keyval == GDK_KEY_Return || key->keyval == GDK_KEY_KP_Enter) {
      GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(widget));
      if (focus && (GTK_IS_BUTTON(focus) || focus == GTK_WIDGET(self->m_browser))) return FALSE;
      if (self->m_events && !self->m_ended) self->m_events->OnOK();
      return TRUE;
    }
    return FALSE;
  }

  static void CloseClicked(GtkButton*, gpointer data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    if (self->m_events && !self->m_ended) self->m_events->OnCloseButton();
  }

  static void AboutClicked(GtkButton*, gpointer data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    if (self->m_events && !self->m_ended) self->m_events->OnAbout();
  }
};

GtkMainWindow::GtkMainWindow() = default;

GtkMainWindow::~GtkMainWindow() {
  if (m_window) gtk_widget_destroy(m_window);
}

void GtkMainWindow::Build() {
  m_window = gtkui::NewDialogWindow(kMainCaption, 363, 266);
  gtk_window_set_position(GTK_WINDOW(m_window), GTK_WIN_POS_CENTER);
  GtkFixed* fixed = GTK_FIXED(gtk_bin_get_child(GTK_BIN(m_window)));

  WebKitSettings* settings = webkit_settings_new_with_settings("enable-javascript", FALSE, "enable-developer-extras",
                                                               FALSE, "enable-page-cache", FALSE, nullptr);
  // Static pages of text and links: drawn without OpenGL, which saves the
  // memory and start-up of a GL context (software GL on many desktops).
  webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  // Local pages, one at a time: no memory cache worth keeping.
  webkit_web_context_set_cache_model(webkit_web_context_get_default(), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  m_browser = WEBKIT_WEB_VIEW(webkit_web_view_new_with_settings(settings));
  g_object_unref(settings);
  gtkui::PlaceDlu(fixed, GTK_WIDGET(m_browser), 7, 7, 349, 239);

  m_status = gtk_label_new(kStatusInitial);
  gtk_label_set_xalign(GTK_LABEL(m_status), 0.0f);
  gtkui::PlaceDlu(fixed, m_status, 8, 252, 147, 8);
  m_about = gtk_button_new_with_label("About...");
  gtkui::PlaceDlu(fixed, m_about, 214, 249, 50, 14);
  m_close = gtk_button_new_with_label("Close");
  gtkui::PlaceDlu(fixed, m_close, 306, 249, 50, 14);

  g_signal_connect(m_browser, "decide-policy", G_CALLBACK(MainWindowCallbacks::DecidePolicy), this);
  g_signal_connect(m_browser, "load-changed", G_CALLBACK(MainWindowCallbacks::LoadChanged), this);
  g_signal_connect(m_browser, "load-failed", G_CALLBACK(MainWindowCallbacks::LoadFailed), this);
  g_signal_connect(m_browser, "web-process-terminated", G_CALLBACK(MainWindowCallbacks::WebProcessTerminated),
                   this);
  g_signal_connect(m_window, "delete-event", G_CALLBACK(MainWindowCallbacks::OnDeleteEvent), this);
  g_signal_connect_after(m_window, "key-press-event", G_CALLBACK(MainWindowCallbacks::OnKeyPressed), this);
  g_signal_connect(m_close, "clicked", G_CALLBACK(MainWindowCallbacks::CloseClicked), this);
  g_signal_connect(m_about, "clicked", G_CALLBACK(MainWindowCallbacks::AboutClicked), this);
  gtkui::SetFrame(m_window, true, true);
  // Start the browser's processes now, while the update list is fetched,
  // rather than when the first page is shown.
  LoadOwnPage("about:blank");
}

int GtkMainWindow::RunModal(MainWindowEvents& events) {
  m_events = &events;
  m_ended = false;
  m_result = 0;
  Build();
  gtkui::PushModal(GTK_WINDOW(m_window));
  events.OnInitDialog();
  if (!m_ended) {
    gtk_widget_show_all(m_window);
    if (!m_statusVisible) gtk_widget_hide(m_status);
    gtk_widget_grab_focus(GTK_WIDGET(m_browser));
    m_loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(m_loop);
    g_main_loop_unref(m_loop);
    m_loop = nullptr;
  }
  gtkui::PopModal(GTK_WINDOW(m_window));
  gtk_widget_destroy(m_window);
  m_window = nullptr;
  m_browser = nullptr;
  m_ownPages.clear();
  m_status = m_about = m_close = nullptr;
  m_events = nullptr;
  return m_result;
}

WindowHandle GtkMainWindow::NativeHandle() const {
  if (!m_window) return 0;
  GdkWindow* window = gtk_widget_get_window(m_window);
  if (!window || !GDK_IS_X11_WINDOW(window)) return 0;
  return static_cast<WindowHandle>(gdk_x11_window_get_xid(window));
}

void GtkMainWindow::Navigate(const std::string& url) {
  TraceMessage("Navigate:", url);
  LoadOwnPage(gtkui::ToUtf8(gtkui::FileUrlForBrowser(url)));
}

void GtkMainWindow::LoadOwnPage(const std::string& uri) {
  if (!m_browser) return;
  // The request's address is the browser's own spelling of `uri`, the one
  // its navigation decision will carry.
  WebKitURIRequest* request = webkit_uri_request_new(uri.c_str());
  m_ownPages.emplace_back(webkit_uri_request_get_uri(request));
  webkit_web_view_load_request(m_browser, request);
  g_object_unref(request);
}

bool GtkMainWindow::TakeOwnPage(const char* uri) {
  if (!uri) return false;
  for (auto it = m_ownPages.begin(); it != m_ownPages.end(); ++it) {
    if (*it == uri) {
      m_ownPages.erase(it);
      return true;
    }
  }
  return false;
}

void GtkMainWindow::SetStatusText(const std::string& text) {
  if (m_status) gtk_label_set_text(GTK_LABEL(m_status), gtkui::ToUtf8(text).c_str());
}

void GtkMainWindow::ShowStatus(bool visible) {
  m_statusVisible = visible;
  // Before the window is first shown, RunModal applies the flag.
  if (m_status && gtk_widget_get_visible(m_window)) gtk_widget_set_visible(m_status, visible);
}

void GtkMainWindow::EndDialog(int result) {
  m_result = result;
  m_ended = true;
  if (m_loop && g_main_loop_is_running(m_loop)) g_main_loop_quit(m_loop);
}

void GtkMainWindow::RunAboutBox() { RunAboutDialog(); }

void GtkMainWindow::SetWaitCursor(bool wait) {
  if (!m_window) return;
  GdkDisplay* display = gtk_widget_get_display(m_window);
  GdkCursor* cursor = wait ? gdk_cursor_new_from_name(display, "wait") : nullptr;
  if (wait && !cursor) cursor = gdk_cursor_new_for_display(display, GDK_WATCH);
  GdkWindow* own = gtk_widget_get_window(m_window);
  if (own) gdk_window_set_cursor(own, cursor);
  // The browser keeps its own window with the cursor of what lies under it.
  GdkWindow* browser = m_browser ? gtk_widget_get_window(GTK_WIDGET(m_browser)) : nullptr;
  if (browser && browser != own) gdk_window_set_cursor(browser, cursor);
  if (cursor) g_object_unref(cursor);
  gdk_display_flush(display);
}

void GtkMainWindow::SleepMs(unsigned ms) {
  if (m_window) gdk_display_flush(gtk_widget_get_display(m_window));
  g_usleep(static_cast<gulong>(ms) * 1000);
}

void GtkMainWindow::PostToUiThread(std::function<void()> fn) { gtkui::Ui().Post(std::move(fn)); }

// --- About box -------------------------------------------------------------

namespace {

gboolean AboutKey(GtkWidget*, GdkEventKey* key, gpointer loop) {
  if (key->keyval == GDK_KEY_Escape) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return TRUE;
  }
  return FALSE;
}

gboolean AboutDelete(GtkWidget*, GdkEvent*, gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return TRUE;
}

void AboutOk(GtkButton*, gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); }

}  // namespace

void RunAboutDialog() {
  GtkWidget* window = gtkui::NewDialogWindow("About QuonUpdate", 235, 55);
  gtk_window_set_modal(GTK_WINDOW(window), TRUE);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  GtkFixed* fixed = GTK_FIXED(gtk_bin_get_child(GTK_BIN(window)));
  GtkWidget* icon = gtk_image_new_from_pixbuf(gtkui::IconPixbuf(32));
  gtk_fixed_put(fixed, icon, gtkui::DluX(11), gtkui::DluY(17));
  GtkWidget* version = gtk_label_new("QuonUpdate Version 2.1");
  GtkWidget* maker = gtk_label_new("Copyright (C) Norvanta");
  gtk_label_set_xalign(GTK_LABEL(version), 0.0f);
  gtk_label_set_xalign(GTK_LABEL(maker), 0.0f);
  gtkui::PlaceDlu(fixed, version, 40, 10, 119, 8);
  gtkui::PlaceDlu(fixed, maker, 40, 25, 119, 8);
  GtkWidget* ok = gtk_button_new_with_label("OK");
  gtkui::PlaceDlu(fixed, ok, 178, 7, 50, 14);
  gtk_widget_set_can_default(ok, TRUE);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_signal_connect(ok, "clicked", G_CALLBACK(AboutOk), loop);
  g_signal_connect(window, "delete-event", G_CALLBACK(AboutDelete), loop);
  g_signal_connect(window, "key-press-event", G_CALLBACK(AboutKey), loop);
  gtkui::SetFrame(window, true, false);
  gtk_widget_show_all(window);
  gtk_widget_grab_default(ok);
  gtk_widget_grab_focus(ok);
  gtkui::PushModal(GTK_WINDOW(window));
  g_main_loop_run(loop);
  gtkui::PopModal(GTK_WINDOW(window));
  g_main_loop_unref(loop);
  gtk_widget_destroy(window);
}

}  // namespace quon
