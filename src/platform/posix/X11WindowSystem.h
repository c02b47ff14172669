// The product-window detection on X11: top-level windows and their class
// (the second string of WM_CLASS), and the close request as a client
// message. See docs/x11-close-request.md for what receivers see.
#pragma once
#include <string>

#include "update/ProductWindows.h"

typedef struct _XDisplay Display;

namespace quon {

// The client message type of the close request.
constexpr const char* kRequestCloseAtom = "_QUON_REQUEST_CLOSE";

class X11WindowSystem : public WindowSystem {
 public:
  // Opens its own connection to `displayName` (null: $DISPLAY). Without a
  // display every list is empty and every post fails.
  explicit X11WindowSystem(const char* displayName = nullptr);
  ~X11WindowSystem() override;
  X11WindowSystem(const X11WindowSystem&) = delete;
  X11WindowSystem& operator=(const X11WindowSystem&) = delete;

  bool IsOpen() const { return m_display != nullptr; }

  std::vector<TopLevel> EnumerateTopLevelWindows() override;
  bool PostRequestClose(WindowHandle window) override;

 private:
  Display* m_display = nullptr;
};

}  // namespace quon
