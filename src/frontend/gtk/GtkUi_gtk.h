// Shared pieces of the GTK front end: dialog-unit layout, the pictures, the
// texts' conversion to UTF-8 and the stack of modal windows (the owner of
// the next dialog). The hand-over of work to the user-interface thread is in
// UiThread_gtk.h.
#pragma once
#include <gtk/gtk.h>

#include <string>
#include <string_view>

namespace quon::gtkui {

// Dialog units of the 8-point dialog font, fixed so that every window has
// the same size whatever fonts the desktop has: one horizontal unit is a
// quarter of the font's average character width (6 px at 96 dpi), one
// vertical unit an eighth of its height (13 px).
constexpr double kPxPerDluX = 1.5;
constexpr double kPxPerDluY = 1.625;
inline int DluX(int dlu) { return static_cast<int>(dlu * kPxPerDluX + 0.5); }
inline int DluY(int dlu) { return static_cast<int>(dlu * kPxPerDluY + 0.5); }
// Puts `child` into `fixed` at the rectangle x, y, w, h given in dialog units.
void PlaceDlu(GtkFixed* fixed, GtkWidget* child, int x, int y, int w, int h);

// Once, before gtk_init: the X11 backend, the program's name and its window
// class.
void PreInit();
// Once, on the user-interface thread, after gtk_init: remembers the thread,
// sets the default icon and the dialog style.
void Init();

// Texts of the program are 8-bit; GTK takes UTF-8. A text that is valid
// UTF-8 stays as it is, any other is read as Windows-1252.
std::string ToUtf8(std::string_view text);
std::string FromUtf8(const char* text);  // inverse for typed input; UTF-8 kept

// The page file's URL is "file://" and the path as it is. A path may hold
// characters that a URL parser reads as its own ('#' starts the fragment,
// '?' the query, '%' an escape): the browser gets them escaped, so that the
// page loads from any directory.
std::string FileUrlForBrowser(const std::string& url);
// A URL the browser reports, as the link handler reads it: unescaped, but
// an escaped '#' stays escaped, so that only a real fragment starts with '#'
// (a directory named "#update9" must not read as a link).
std::string UrlForHandler(const std::string& url);

// Icon 128 (32 x 32 and 16 x 16) and the frames of animation 130 (1..6).
GdkPixbuf* IconPixbuf(int size);   // owned by the cache; do not unref
GdkPixbuf* AnimationFrame(int n);  // owned by the cache; do not unref
constexpr int kAnimationFrames = 6;
constexpr unsigned kAnimationFrameMs = 333;

// A window of the program, styled for the dialog font and given the icon.
GtkWidget* NewDialogWindow(const char* title, int widthDlu, int heightDlu);

// The frame a window manager should give a window, after the window styles
// of the dialog templates: caption and border always; a window menu (with
// its Close) unless `closable` is false; a minimise box when asked. Never
// resizing or maximising.
void SetFrame(GtkWidget* window, bool closable, bool minimisable);

// The modal windows currently running, innermost last. A new dialog is
// made transient for the innermost one that is visible.
void PushModal(GtkWindow* window);
void PopModal(GtkWindow* window);
GtkWindow* ModalOwner();

// Processes pending window-system events without blocking.
void FlushEvents();

}  // namespace quon::gtkui
