#include "frontend/win/UpdateApp_win.h"

#include <ole2.h>

#include <memory>

#include "app/UpdateDlg.h"
#include "frontend/win/BrowserHost_win.h"
#include "frontend/win/MainWindow_win.h"
#include "frontend/win/StartUp_win.h"
#include "frontend/win/UserPrompts_win.h"
#include "frontend/win/WaitDialog_win.h"
#include "platform/win/WinInetHttpClient.h"
#include "platform/win/WinPlatform.h"
#include "platform/win/WinWindowSystem.h"

namespace quon::win {

int UpdateApp::InitInstance(const UpdateServerSettings& server,
                            const std::function<void(WinMainWindow&)>& onMainWindow) {
  RestrictDllSearch();
  if (!InitCommonControlsOrReport()) return 1;
  // Hosting the web browser control needs OLE in this thread.
  HRESULT ole = OleInitialize(nullptr);
  RegisterBrowserSiteClass();
  {
    // Shared with every worker: one that the end of the program abandons
    // keeps the client and the prompts it uses.
    auto prompts = std::make_shared<WinUserPrompts>();
    // The administrator's policy decides before the window opens.
    const PolicyReading policy = ReadAdminPolicy();
    if (!policy.ok || !policy.policy.updates) {
      prompts->MessageBox(policy.ok ? msg::kUpdatesManaged : policy.error);
      if (SUCCEEDED(ole)) OleUninitialize();
      return policy.ok ? 0 : 1;
    }
    auto http = std::make_shared<WinInetHttpClient>(
        [prompts](const std::function<void(void*)>& show) { return prompts->RunOwnedDialog(show); },
        policy.policy.proxy);
    WinWaitDialogHost wait;
    NetEnvironment net{*http, *prompts, wait, kWaitTimerIntervalMs, ShareClientAndPrompts(prompts, http)};
    std::unique_ptr<Platform> platform = MakeWinPlatform();
    WinWindowSystem windows;
    WinMainWindow window;
    UpdateDlg dlg(window, *prompts, net, *platform, windows,
                  [&window] { return reinterpret_cast<WindowHandle>(window.Hwnd()); }, server.UnderPolicy(policy.policy));
    dlg.Session().SetAdminPolicy(policy.policy);
    window.SetLogic(&dlg);
    if (onMainWindow) onMainWindow(window);
    window.DoModal();
    LetWorkersEnd(*prompts, 0);
  }
  if (SUCCEEDED(ole)) OleUninitialize();
  return 0;
}

}  // namespace quon::win
