#include "platform/posix/X11WindowSystem.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <deque>
#include <utility>

namespace quon {
namespace {

// Xlib reports protocol errors (a window that went away while we looked at
// it) through one process-wide handler. While we talk to the server, ours
// counts the errors of our own connection and hands others on.
Display* g_trapDisplay = nullptr;
int g_trapErrors = 0;
XErrorHandler g_previousHandler = nullptr;

int TrapHandler(Display* display, XErrorEvent* error) {
  if (display == g_trapDisplay) {
    ++g_trapErrors;
    return 0;
  }
  return g_previousHandler ? g_previousHandler(display, error) : 0;
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : m_display(display) {
    XSync(m_display, False);
    g_trapDisplay = display;
    g_trapErrors = 0;
    g_previousHandler = XSetErrorHandler(TrapHandler);
  }
  ~ErrorTrap() {
    XSync(m_display, False);
    XSetErrorHandler(g_previousHandler);
    g_previousHandler = nullptr;
    g_trapDisplay = nullptr;
  }
  // Errors since the trap was set, after the server has answered.
  int Errors() {
    XSync(m_display, False);
    return g_trapErrors;
  }

 private:
  Display* m_display;
};

bool ReadClass(Display* display, Window window, std::string& className) {
  XClassHint hint{nullptr, nullptr};
  if (!XGetClassHint(display, window, &hint)) return false;
  className = hint.res_class ? hint.res_class : "";
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return true;
}

bool HasProperty(Display* display, Window window, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type, &format, &items, &after,
                         &data) != Success)
    return false;
  if (data) XFree(data);
  return type != None;
}

// A reparenting window manager puts each application window (the client,
// which carries WM_CLASS and WM_STATE) into a frame window of its own that
// is the root's child. The client is found among the frame's descendants,
// nearest first, up to a few levels down.
bool FindClient(Display* display, Window frame, Atom wmState, Window& client, std::string& className) {
  std::deque<std::pair<Window, int>> queue{{frame, 0}};
  while (!queue.empty()) {
    auto [window, depth] = queue.front();
    queue.pop_front();
    if (window != frame && (HasProperty(display, window, wmState) || HasProperty(display, window, XA_WM_CLASS))) {
      client = window;
      if (!ReadClass(display, window, className)) className.clear();
      return true;
    }
    if (depth >= 3) continue;
    Window rootReturn = 0, parentReturn = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &rootReturn, &parentReturn, &children, &count)) continue;
    for (unsigned int i = 0; i < count; ++i) queue.emplace_back(children[i], depth + 1);
    if (children) XFree(children);
  }
  return false;
}

}  // namespace

X11WindowSystem::X11WindowSystem(const char* displayName) : m_display(XOpenDisplay(displayName)) {}

X11WindowSystem::~X11WindowSystem() {
  if (m_display) XCloseDisplay(m_display);
}

std::vector<WindowSystem::TopLevel> X11WindowSystem::EnumerateTopLevelWindows() {
  std::vector<TopLevel> result;
  if (!m_display) return result;
  ErrorTrap trap(m_display);
  Atom wmState = XInternAtom(m_display, "WM_STATE", False);
  for (int screen = 0; screen < ScreenCount(m_display); ++screen) {
    Window root = RootWindow(m_display, screen);
    Window rootReturn = 0, parentReturn = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, root, &rootReturn, &parentReturn, &children, &count)) continue;
    // Mapped or not: an application's hidden top-level windows are children
    // of the root like its visible ones (a window manager hands withdrawn
    // windows back to the root).
    for (unsigned int i = 0; i < count; ++i) {
      Window window = children[i];
      std::string className;
      if (ReadClass(m_display, window, className)) {
        result.push_back({static_cast<WindowHandle>(window), className});
        continue;
      }
      Window client = 0;
      if (FindClient(m_display, window, wmState, client, className))
        result.push_back({static_cast<WindowHandle>(client), className});
      else
        result.push_back({static_cast<WindowHandle>(window), std::string()});
    }
    if (children) XFree(children);
  }
  return result;
}

bool X11WindowSystem::PostRequestClose(WindowHandle window) {
  if (!m_display || window == 0) return false;
  ErrorTrap trap(m_display);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.display = m_display;
  event.xclient.window = static_cast<Window>(window);
  event.xclient.message_type = XInternAtom(m_display, kRequestCloseAtom, False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(kWmRequestClose);
  event.xclient.data.l[1] = -1;  // wParam: all 32 bits set
  event.xclient.data.l[2] = static_cast<long>(kRequestCloseLParam);
  // No event mask: the event goes to the client that created the window.
  Status sent = XSendEvent(m_display, static_cast<Window>(window), False, NoEventMask, &event);
  return sent != 0 && trap.Errors() == 0;
}

}  // namespace quon
