/* A stand-in for a running product application in the GUI tests:
 *   helper_window CLASS [--hidden] [--ignore]
 *   helper_window --close WINDOW     (asks WINDOW to close the way a window
 *                                     manager's close box does: WM_DELETE_WINDOW)
 * creates a top-level window whose WM_CLASS class is CLASS (mapped unless
 * --hidden), prints "ready <window id>", then prints one line per close
 * request it receives,
 *   request <message number> <wParam as unsigned> <lParam>
 * and ends after the first one unless --ignore is given. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int SendDeleteWindow(const char* id) {
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) return 1;
  Window w = (Window)strtoul(id, NULL, 0);
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(dpy, w, False, NoEventMask, &ev);
  XSync(dpy, False);
  XCloseDisplay(dpy);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--close") == 0) return SendDeleteWindow(argv[2]);
  if (argc < 2) {
    fprintf(stderr, "usage: helper_window CLASS [--hidden] [--ignore]\n");
    return 2;
  }
  int hidden = 0, ignore = 0;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--hidden") == 0) hidden = 1;
    if (strcmp(argv[i], "--ignore") == 0) ignore = 1;
  }
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fprintf(stderr, "helper_window: no display\n");
    return 1;
  }
  Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 10, 10, 120, 60, 1, 0, 0xC0C0C0);
  XClassHint hint;
  hint.res_name = (char*)"helper";
  hint.res_class = argv[1];
  XSetClassHint(dpy, w, &hint);
  XStoreName(dpy, w, argv[1]);
  if (!hidden) XMapWindow(dpy, w);
  Atom request = XInternAtom(dpy, "_QUON_REQUEST_CLOSE", False);
  XSync(dpy, False);
  printf("ready %lu\n", (unsigned long)w);
  fflush(stdout);
  for (;;) {
    XEvent ev;
    XNextEvent(dpy, &ev);
    if (ev.type != ClientMessage || ev.xclient.message_type != request || ev.xclient.format != 32) continue;
    printf("request %ld %lu %ld\n", ev.xclient.data.l[0], (unsigned long)(ev.xclient.data.l[1] & 0xFFFFFFFFul),
           ev.xclient.data.l[2]);
    fflush(stdout);
    if (!ignore) break;
  }
  XCloseDisplay(dpy);
  return 0;
}
