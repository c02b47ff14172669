// The product-window detection on Win32: top-level windows through
// EnumWindows/GetClassNameA, the close request through PostMessageA.
#pragma once
#include "update/ProductWindows.h"

namespace quon::win {

class WinWindowSystem : public WindowSystem {
 public:
  std::vector<TopLevel> EnumerateTopLevelWindows() override;
  bool PostRequestClose(WindowHandle window) override;
};

}  // namespace quon::win
