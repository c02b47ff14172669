#include "update/ProductWindows.h"

#include <string_view>

#include "base/CText.h"

namespace quon {

namespace {

// The class name as a 200-character buffer holds it, with room for 199
// characters including the terminating zero: at most 198 characters.
constexpr size_t kClassNameCharsRead = 198;

constexpr std::string_view kPrefixes[] = {"DRAFON", "GRAFLUX", "QUON"};

}  // namespace

bool IsProductWindowClass(const std::string& className) {
  const std::string_view name = std::string_view(className).substr(0, kClassNameCharsRead);
  for (std::string_view prefix : kPrefixes) {
    if (PrefixEqualsNoCase(name, prefix)) return true;
  }
  return false;
}

int CountProductWindows(WindowSystem& windows) {
  int count = 0;
  for (const WindowSystem::TopLevel& window : windows.EnumerateTopLevelWindows()) {
    if (IsProductWindowClass(window.className)) ++count;
  }
  return count;
}

void RequestProductWindowsClose(WindowSystem& windows, WindowHandle ownWindow) {
  constexpr int kAttempts = 10;
  for (const WindowSystem::TopLevel& window : windows.EnumerateTopLevelWindows()) {
    if (window.handle == ownWindow) continue;
    if (!IsProductWindowClass(window.className)) continue;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (windows.PostRequestClose(window.handle)) break;
    }
  }
}

}  // namespace quon
