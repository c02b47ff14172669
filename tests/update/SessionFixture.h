// A main window over fakes, with a scratch product directory.
#pragma once
#include <memory>

#include "Fakes.h"
#include "app/UpdateDlg.h"

namespace quon::test {

struct SessionFixture {
  ScratchDir product;
  FakeView view;
  FakePrompts prompts;
  FakePlatform platform;
  FakeWindows windows;
  UnreachableHttp http;
  HeadlessWaitHost wait;
  NetEnvironment net{http, prompts, wait};
  UpdateServerSettings server{"127.0.0.1", 9, "/update"};

  SessionFixture() { platform.modulePath = product.Dir() + "QuonUpdate"; }

  std::string ExePath() const { return product.Dir() + "QUON.EXE"; }
  void SetProductVersion(const std::string& text) { platform.versions[ExePath()] = text; }
  void WriteVersionFile(std::initializer_list<unsigned char> bytes) {
    product.Write("Quon.Version", std::string(bytes.begin(), bytes.end()));
  }

  template <typename Dlg = UpdateDlg>
  std::unique_ptr<Dlg> MakeDlg() {
    return std::make_unique<Dlg>(view, prompts, net, platform, windows, [] { return WindowHandle{42}; }, server);
  }
};

}  // namespace quon::test
