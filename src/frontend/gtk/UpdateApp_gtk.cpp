// The application object of the Linux desktop program: builds the
// composition root (transport, platform, window system, GTK views and
// UpdateDlg), runs the main window until it closes and ends the program.
#include "frontend/gtk/UpdateApp_gtk.h"

#include <gdk/gdk.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <memory>

#include "app/WaitDialog.h"
#include "frontend/gtk/GtkUi_gtk.h"
#include "frontend/gtk/MainWindow_gtk.h"
#include "frontend/gtk/UserPrompts_gtk.h"
#include "frontend/gtk/WaitDialog_gtk.h"
#include "net/ServerExchange.h"
#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/X11WindowSystem.h"

namespace quon {
namespace {

// Forwards the main window's events to UpdateDlg.
class DlgEvents : public MainWindowEvents {
 public:
  explicit DlgEvents(UpdateDlg& dlg) : m_dlg(dlg) {}
  void OnInitDialog() override { m_dlg.OnInitDialog(); }
  // The window hands on only the navigations the user started.
  void OnBeforeNavigate2(const std::string& url, bool& cancel) override {
    m_dlg.OnBeforeNavigate2(url, /*userStarted=*/true, cancel);
  }
  void OnCloseButton() override { m_dlg.OnCloseButton(); }
  void OnClose() override { m_dlg.OnClose(); }
  void OnOK() override { m_dlg.OnOK(); }
  void OnAbout() override { m_dlg.OnAbout(); }

 private:
  UpdateDlg& m_dlg;
};

class UpdateApp {
 public:
  explicit UpdateApp(UpdateServerSettings server) : m_server(std::move(server)) {}

  // Start-up: the main window runs modally; the program ends when it closes.
  int InitInstance() {
    gtkui::PreInit();
    if (!gtk_init_check(nullptr, nullptr)) {
      std::fprintf(stderr, "QuonUpdate: cannot open the display\n");
      return 1;
    }
    gtkui::Init();
    {
      GtkMainWindow view;
      // Shared with every worker: one that the end of the program abandons
      // keeps the client and the prompts it uses.
      auto prompts = std::make_shared<GtkUserPrompts>();
      // The administrator's policy decides before the window opens.
      const PolicyReading policy = ReadAdminPolicy();
      if (!policy.ok || !policy.policy.updates) {
        prompts->MessageBox(policy.ok ? msg::kUpdatesManaged : policy.error);
        return policy.ok ? 0 : 1;
      }
      auto http = std::make_shared<CurlHttpClient>(*prompts, nullptr, UpdateExtraCaCertificates(), policy.policy.proxy);
      GtkWaitDialogHost wait;
      NetEnvironment net{*http, *prompts, wait, kWaitTimerIntervalMs, ShareClientAndPrompts(prompts, http)};
      std::unique_ptr<Platform> platform = MakePosixPlatform();
      X11WindowSystem windows;
      UpdateDlg dlg(view, *prompts, net, *platform, windows, [&view] { return view.NativeHandle(); },
                    m_server.UnderPolicy(policy.policy));
      dlg.Session().SetAdminPolicy(policy.policy);
      DlgEvents events(dlg);
      view.RunModal(events);
      LetWorkersEnd(*prompts, 0);
    }
    return 0;
  }

 private:
  UpdateServerSettings m_server;
};

}  // namespace

int RunUpdateApp(const UpdateServerSettings& server) { return UpdateApp(server).InitInstance(); }

}  // namespace quon

