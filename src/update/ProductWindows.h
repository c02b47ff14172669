// Running-application detection: top-level windows of the product family
// are recognised by their class name's prefix. The matching is portable;
// a WindowSystem lists windows and posts the close request.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quon {

constexpr unsigned kWmRequestClose = 0x0400 + 14;  // WM_USER + 14
constexpr uint32_t kRequestCloseWParam = 0xFFFFFFFFu;
constexpr uint32_t kRequestCloseLParam = 0;

using WindowHandle = uintptr_t;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  struct TopLevel {
    WindowHandle handle;
    std::string className;  // as the platform reports it
  };
  // Every top-level window of the desktop, visible or hidden.
  virtual std::vector<TopLevel> EnumerateTopLevelWindows() = 0;
  // Posts WM_REQUEST_CLOSE (wParam -1, lParam 0); false when the post failed.
  virtual bool PostRequestClose(WindowHandle window) = 0;
};

// True when the class name (as read into a 200-character buffer) begins with
// DRAFON, GRAFLUX or QUON, case ignored.
bool IsProductWindowClass(const std::string& className);
int CountProductWindows(WindowSystem& windows);
// Posts the close request to every product window but `ownWindow`, retrying
// a failed post up to 10 attempts in all.
void RequestProductWindowsClose(WindowSystem& windows, WindowHandle ownWindow);

}  // namespace quon
