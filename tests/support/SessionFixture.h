// A main window over fakes, with a scratch product directory.
#pragma once
#include <memory>

#include "support/Fakes.h"
#include "app/UpdateDlg.h"

namespace quon {

// Sets up the state of a run that tests start in the middle.
class UpdateSessionTestAccess {
 public:
  static UpdateRunState& State(UpdateSession& session) { return session.m_state; }
};

namespace test {

inline UpdateRunState& RunState(UpdateDlg& dlg) { return UpdateSessionTestAccess::State(dlg.Session()); }

struct SessionFixture {
  TempDir product;
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

  std::unique_ptr<UpdateDlg> MakeDlg() {
    return std::make_unique<UpdateDlg>(view, prompts, net, platform, windows, [] { return WindowHandle{42}; },
                                       server);
  }
};

}  // namespace test
}  // namespace quon
