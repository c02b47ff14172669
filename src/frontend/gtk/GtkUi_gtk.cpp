#include "frontend/gtk/GtkUi_gtk.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "frontend/gtk/UiThread_gtk.h"

namespace {
// The pictures, drawn by res/draw_pictures.py.
#include "anim-1.xpm"
#include "anim-2.xpm"
#include "anim-3.xpm"
#include "anim-4.xpm"
#include "anim-5.xpm"
#include "anim-6.xpm"
#include "icon-16.xpm"
#include "icon-32.xpm"
}  // namespace

namespace quon::gtkui {
namespace {

std::vector<GtkWindow*> g_modal;

// The dialog font and compact controls, so that the controls fit the sizes
// that the dialog units give them.
constexpr const char* kCss =
    ".quon-dialog, .quon-dialog * {"
    "  font-family: \"MS Sans Serif\", \"Microsoft Sans Serif\", \"DejaVu Sans\", sans-serif;"
    "  font-size: 8pt; }"
    ".quon-dialog button { padding: 0px 4px; min-height: 0px; min-width: 0px; }"
    ".quon-dialog entry { padding: 0px 3px; min-height: 0px; }"
    ".quon-dialog progressbar trough { min-height: 14px; border: 1px solid #808080;"
    "  border-radius: 0px; background-color: #ffffff; }"
    ".quon-dialog progressbar progress { min-height: 14px; border-radius: 0px; }";

GdkPixbuf* FromXpm(const char* const* xpm) {
  return gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(xpm));
}

}  // namespace

void PlaceDlu(GtkFixed* fixed, GtkWidget* child, int x, int y, int w, int h) {
  gtk_widget_set_size_request(child, DluX(w), DluY(h));
  gtk_fixed_put(fixed, child, DluX(x), DluY(y));
}

constexpr const char* kWindowClass = "UpdateDialog";

void PreInit() {
  // Product-window detection and the close request speak X11.
  gdk_set_allowed_backends("x11");
  g_set_prgname("QuonUpdate");
}

void Init() {
  RememberUiThread();
  // The window class must not start with a product family prefix, or the
  // updater's own windows would count as product windows that block an
  // installation (see docs/x11-close-request.md). GDK's hidden leader
  // window got the class from the program's name when the display opened.
  gdk_set_program_class(kWindowClass);
  GdkDisplay* display = gdk_display_get_default();
  if (display && GDK_IS_X11_DISPLAY(display)) {
    GdkWindow* leader = gdk_display_get_default_group(display);
    if (leader) {
      XClassHint hint;
      hint.res_name = const_cast<char*>(g_get_prgname());
      hint.res_class = const_cast<char*>(kWindowClass);
      XSetClassHint(gdk_x11_display_get_xdisplay(display), gdk_x11_window_get_xid(leader), &hint);
    }
  }
  GList* icons = nullptr;
  icons = g_list_append(icons, IconPixbuf(32));
  icons = g_list_append(icons, IconPixbuf(16));
  gtk_window_set_default_icon_list(icons);
  g_list_free(icons);
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
}

std::string ToUtf8(std::string_view text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return std::string(text);
  gsize written = 0;
  gchar* converted = g_convert_with_fallback(text.data(), static_cast<gssize>(text.size()), "UTF-8",
                                             "WINDOWS-1252", "?", nullptr, &written, nullptr);
  if (!converted) {
    std::string ascii(text);
    for (char& c : ascii)
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return ascii;
  }
  std::string result(converted, written);
  g_free(converted);
  return result;
}

std::string FileUrlForBrowser(const std::string& url) {
  static constexpr std::string_view kScheme = "file://";
  if (url.compare(0, kScheme.size(), kScheme) != 0) return url;
  std::string out(kScheme);
  for (size_t i = kScheme.size(); i < url.size(); ++i) {
    switch (url[i]) {
      case '%': out += "%25"; break;
      case '#': out += "%23"; break;
      case '?': out += "%3F"; break;
      default: out += url[i];
    }
  }
  return out;
}

std::string UrlForHandler(const std::string& url) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(url.size());
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size() && hex(url[i + 1]) >= 0 && hex(url[i + 2]) >= 0) {
      const char c = static_cast<char>(hex(url[i + 1]) * 16 + hex(url[i + 2]));
      if (c != '#' && c != '\0') {
        out += c;
        i += 2;
        continue;
      }
    }
    out += url[i];
  }
  return out;
}

std::string FromUtf8(const char* text) { return text ? std::string(text) : std::string(); }

GdkPixbuf* IconPixbuf(int size) {
  static GdkPixbuf* big = FromXpm(icon_32);
  static GdkPixbuf* small = FromXpm(icon_16);
  return size <= 16 ? small : big;
}

GdkPixbuf* AnimationFrame(int n) {
  static GdkPixbuf* frames[kAnimationFrames] = {FromXpm(anim_1), FromXpm(anim_2), FromXpm(anim_3),
                                                FromXpm(anim_4), FromXpm(anim_5), FromXpm(anim_6)};
  return frames[std::clamp(n, 1, kAnimationFrames) - 1];
}

GtkWidget* NewDialogWindow(const char* title, int widthDlu, int heightDlu) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), title);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_style_context_add_class(gtk_widget_get_style_context(window), "quon-dialog");
  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, DluX(widthDlu), DluY(heightDlu));
  gtk_container_add(GTK_CONTAINER(window), fixed);
  GtkWindow* owner = ModalOwner();
  if (owner) {
    gtk_window_set_transient_for(GTK_WINDOW(window), owner);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  }
  return window;
}

void SetFrame(GtkWidget* window, bool closable, bool minimisable) {
  gtk_widget_realize(window);
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  if (!gdkWindow) return;
  int decorations = GDK_DECOR_BORDER | GDK_DECOR_TITLE;
  int functions = GDK_FUNC_MOVE;
  if (closable) {
    decorations |= GDK_DECOR_MENU;
    functions |= GDK_FUNC_CLOSE;
  }
  if (minimisable) {
    decorations |= GDK_DECOR_MINIMIZE;
    functions |= GDK_FUNC_MINIMIZE;
  }
  gdk_window_set_decorations(gdkWindow, static_cast<GdkWMDecoration>(decorations));
  gdk_window_set_functions(gdkWindow, static_cast<GdkWMFunction>(functions));
}

void PushModal(GtkWindow* window) { g_modal.push_back(window); }

void PopModal(GtkWindow* window) {
  auto it = std::find(g_modal.rbegin(), g_modal.rend(), window);
  if (it != g_modal.rend()) g_modal.erase(std::next(it).base());
}

GtkWindow* ModalOwner() {
  for (auto it = g_modal.rbegin(); it != g_modal.rend(); ++it)
    if (gtk_widget_get_visible(GTK_WIDGET(*it))) return *it;
  return nullptr;
}

void FlushEvents() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

}  // namespace quon::gtkui
