// Hosts the system web browser control in a window of our own, without a
// control container library: the client site, in-place site and frame, the
// ambient properties (scripts, Java and ActiveX controls off, silent), the
// security manager (no page navigates by itself), the user-interface handler
// (BrowserUi_win.h), and the DWebBrowserEvents2 sink for BeforeNavigate2 and
// new windows. The dialog template carries
// a placeholder window of class QUON_BROWSER_SITE_CLASS at the control's
// rectangle; the host embeds the control into it.
#pragma once
#include "frontend/win/Dialog_win.h"

#include <ole2.h>
#include <ocidl.h>

#include <functional>
#include <string>

namespace quon::win {

class BrowserSecurityManager;
class BrowserUiHandler;

// Registers the placeholder window class; call before a dialog with a
// browser site is created. Idempotent.
bool RegisterBrowserSiteClass();

class BrowserHost {
 public:
  // Receives the URL of a navigation about to start, as 8-bit text, and
  // whether the user's input started it; sets cancel to stop it.
  using BeforeNavigateHandler = std::function<void(const std::string& url, bool userStarted, bool& cancel)>;

  BrowserHost();
  ~BrowserHost();
  BrowserHost(const BrowserHost&) = delete;
  BrowserHost& operator=(const BrowserHost&) = delete;

  // Creates the control in `site` (its whole client area), activates it in
  // place and connects the event sink. False when the control cannot be
  // created (the site then stays empty).
  bool Create(HWND site, BeforeNavigateHandler handler);
  // Disconnects and releases the control (before the site window goes).
  void Destroy();
  bool IsCreated() const { return m_object != nullptr; }

  // Navigate2 through the control's dispatch interface (DISPID 500): the
  // URL, flags 0, an empty target frame, empty post data and empty headers,
  // each by reference. The outcome is returned for tests only.
  HRESULT Navigate(const std::string& url);

  // The ambient download-control flags the control is given.
  static long DownloadControlFlags();

  // Delivers a BeforeNavigate2 event as the control does (tests).
  bool FireBeforeNavigate(const std::string& url);
  // The client site the control is given (tests ask it for its services).
  IOleClientSite* ClientSite();
  // The DWebBrowserEvents2 sink the control is given (tests raise events).
  IDispatch* EventSink();

  // How long a click or Enter in the browser lets a navigation count as the
  // user's.
  static constexpr DWORD kUserInputMs = 1000;

 private:
  class Site;
  class Frame;
  class Events;
  friend class Site;
  friend class Frame;
  friend class Events;

  void OnBeforeNavigate2(BSTR url, VARIANT_BOOL* cancel);
  // The dialog loop's messages: keys for the control (Tab between links,
  // Enter on a link) go to it before the dialog manager sees them, and the
  // user's clicks and Enter in the browser are noted.
  static LRESULT CALLBACK MessageFilter(int code, WPARAM wParam, LPARAM lParam);
  bool TranslateKey(MSG* msg);
  void NoteUserInput(const MSG& msg);
  bool TakeUserInput();

  HWND m_site = nullptr;
  Site* m_siteImpl;
  Frame* m_frameImpl;
  Events* m_eventsImpl;
  BrowserSecurityManager* m_securityImpl;
  BrowserUiHandler* m_uiImpl;
  IOleObject* m_object = nullptr;
  IDispatch* m_dispatch = nullptr;
  IConnectionPoint* m_connection = nullptr;
  DWORD m_cookie = 0;
  IOleInPlaceActiveObject* m_active = nullptr;
  HHOOK m_filter = nullptr;
  BeforeNavigateHandler m_handler;
  bool m_inputPending = false;  // a click or Enter not yet taken by a navigation
  DWORD m_inputTick = 0;        // when it came (GetTickCount)
  bool m_navigating = false;    // inside Navigate: the program's own page load
};

}  // namespace quon::win
