/* A stand-in for a running product application in the GUI tests:
 *   helper_window CLASS [--hidden] [--ignore]
 * creates a top-level window whose WM_CLASS class is CLASS (mapped unless
 * --hidden), prints "ready <window id>", then prints one line per close
 * request it receives,
 *   request <message number> <wParam as unsigned> <lParam>
 * and ends after the first one unless --ignore is given. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
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
