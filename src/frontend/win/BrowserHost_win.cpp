#include "frontend/win/BrowserHost_win.h"

#include <exdisp.h>
#include <exdispid.h>
#include <oaidl.h>
#include <ocidl.h>

#include "frontend/win/BrowserEvents_win.h"
#include "frontend/win/BrowserSecurity_win.h"
#include "frontend/win/BrowserSite_win.h"
#include "frontend/win/BrowserUi_win.h"

namespace quon::win {

namespace {

constexpr long kDlctlNoScripts = 0x00000080;        // DLCTL_NO_SCRIPTS
constexpr long kDlctlNoJava = 0x00000100;           // DLCTL_NO_JAVA
constexpr long kDlctlNoRunActiveXCtls = 0x00000200; // DLCTL_NO_RUNACTIVEXCTLS
constexpr DISPID kDispidNavigate2 = 500;

// {8856F961-340A-11D0-A96B-00C04FD705A2}
const CLSID kClsidWebBrowser = {0x8856F961, 0x340A, 0x11D0, {0xA9, 0x6B, 0x00, 0xC0, 0x4F, 0xD7, 0x05, 0xA2}};

// The host whose control takes keys (the user-interface thread has one).
quon::win::BrowserHost* t_keyHost = nullptr;

BSTR TextToBstr(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (out && n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out, n);
  return out;
}

}  // namespace

BrowserHost::BrowserHost()
    : m_siteImpl(new Site(*this)),
      m_frameImpl(new Frame(*this)),
      m_eventsImpl(new Events(*this)),
      m_securityImpl(new BrowserSecurityManager()),
      m_uiImpl(new BrowserUiHandler()) {}

BrowserHost::~BrowserHost() {
  Destroy();
  m_siteImpl->Detach();
  m_frameImpl->Detach();
  m_eventsImpl->Detach();
  m_uiImpl->Release();
  m_securityImpl->Release();
  m_eventsImpl->Release();
  m_frameImpl->Release();
  m_siteImpl->Release();
}

long BrowserHost::DownloadControlFlags() { return kDlctlNoScripts | kDlctlNoJava | kDlctlNoRunActiveXCtls; }

bool BrowserHost::Create(HWND site, BeforeNavigateHandler handler) {
  Destroy();
  m_site = site;
  m_handler = std::move(handler);
  if (!site) return false;
  t_keyHost = this;
  m_filter = SetWindowsHookExA(WH_MSGFILTER, &BrowserHost::MessageFilter, nullptr, GetCurrentThreadId());
  HRESULT hr = CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                reinterpret_cast<void**>(&m_object));
  if (FAILED(hr) || !m_object) {
    m_object = nullptr;
    return false;
  }
  m_object->SetClientSite(static_cast<IOleClientSite*>(m_siteImpl));
  // The control asks for the ambient properties again once told they changed.
  IOleControl* control = nullptr;
  if (SUCCEEDED(m_object->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&control)))) {
    control->OnAmbientPropertyChange(kDispidAmbientDlControl);
    control->Release();
  }
  RECT rc;
  GetClientRect(site, &rc);
  m_object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(m_siteImpl), 0, site, &rc);
  IOleInPlaceObject* inPlace = nullptr;
  if (SUCCEEDED(m_object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
    inPlace->SetObjectRects(&rc, &rc);
    inPlace->Release();
  }
  m_object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&m_dispatch));
  if (FAILED(m_object->QueryInterface(IID_IOleInPlaceActiveObject, reinterpret_cast<void**>(&m_active))))
    m_active = nullptr;
  IConnectionPointContainer* container = nullptr;
  if (SUCCEEDED(m_object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
    if (SUCCEEDED(container->FindConnectionPoint(kDiidWebBrowserEvents2, &m_connection)) && m_connection) {
      if (FAILED(m_connection->Advise(m_eventsImpl, &m_cookie))) m_cookie = 0;
    }
    container->Release();
  }
  return true;
}

void BrowserHost::Destroy() {
  if (m_filter) {
    UnhookWindowsHookEx(m_filter);
    m_filter = nullptr;
  }
  if (t_keyHost == this) t_keyHost = nullptr;
  if (m_active) {
    m_active->Release();
    m_active = nullptr;
  }
  if (m_connection) {
    if (m_cookie) m_connection->Unadvise(m_cookie);
    m_connection->Release();
    m_connection = nullptr;
    m_cookie = 0;
  }
  if (m_dispatch) {
    m_dispatch->Release();
    m_dispatch = nullptr;
  }
  if (m_object) {
    IOleInPlaceObject* inPlace = nullptr;
    if (SUCCEEDED(m_object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
      inPlace->InPlaceDeactivate();
      inPlace->Release();
    }
    m_object->Close(OLECLOSE_NOSAVE);
    m_object->SetClientSite(nullptr);
    m_object->Release();
    m_object = nullptr;
  }
}

HRESULT BrowserHost::Navigate(const std::string& url) {
  if (!m_dispatch) return E_FAIL;
  VARIANT vUrl, vFlags, vTarget, vPost, vHeaders;
  VariantInit(&vUrl);
  vUrl.vt = VT_BSTR;
  vUrl.bstrVal = TextToBstr(url);
  VariantInit(&vFlags);
  vFlags.vt = VT_I4;
  vFlags.lVal = 0;
  VariantInit(&vTarget);
  vTarget.vt = VT_BSTR;
  vTarget.bstrVal = SysAllocString(L"");
  VariantInit(&vPost);
  VariantInit(&vHeaders);
  vHeaders.vt = VT_BSTR;
  vHeaders.bstrVal = SysAllocString(L"");
  // By reference, last argument first.
  VARIANT args[5];
  VARIANT* values[5] = {&vHeaders, &vPost, &vTarget, &vFlags, &vUrl};
  for (int i = 0; i < 5; ++i) {
    VariantInit(&args[i]);
    args[i].vt = VT_BYREF | VT_VARIANT;
    args[i].pvarVal = values[i];
  }
  DISPPARAMS params = {args, nullptr, 5, 0};
  m_navigating = true;
  HRESULT hr = m_dispatch->Invoke(kDispidNavigate2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                  nullptr, nullptr, nullptr);
  m_navigating = false;
  VariantClear(&vUrl);
  VariantClear(&vTarget);
  VariantClear(&vHeaders);
  return hr;
}

LRESULT CALLBACK BrowserHost::MessageFilter(int code, WPARAM wParam, LPARAM lParam) {
  if (code == MSGF_DIALOGBOX && t_keyHost) {
    MSG* msg = reinterpret_cast<MSG*>(lParam);
    if (msg) t_keyHost->NoteUserInput(*msg);
    if (msg && t_keyHost->TranslateKey(msg)) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The user follows a link with a click (the left button's release) or the
// Enter key, and the control raises BeforeNavigate2 while it handles that
// message. So a navigation counts as the user's when such input reached the
// browser less than kUserInputMs before it, and only the first navigation
// after the input does: a page that refreshes or loads a frame by itself,
// even right after a click, has no input of its own left.
void BrowserHost::NoteUserInput(const MSG& msg) {
  const bool follows = msg.message == WM_LBUTTONUP || (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN);
  if (!follows || !m_site || (msg.hwnd != m_site && !IsChild(m_site, msg.hwnd))) return;
  m_inputPending = true;
  m_inputTick = GetTickCount();
}

bool BrowserHost::TakeUserInput() {
  const bool recent = m_inputPending && GetTickCount() - m_inputTick < kUserInputMs;
  m_inputPending = false;
  return recent;
}

bool BrowserHost::TranslateKey(MSG* msg) {
  if (!m_active || !m_site || msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST) return false;
  if (msg->hwnd != m_site && !IsChild(m_site, msg->hwnd)) return false;
  return m_active->TranslateAccelerator(msg) == S_OK;
}

IOleClientSite* BrowserHost::ClientSite() { return m_siteImpl; }
IDispatch* BrowserHost::EventSink() { return m_eventsImpl; }

bool BrowserHost::FireBeforeNavigate(const std::string& url) {
  // Build the arguments exactly as the control passes them.
  VARIANT vUrl, vFlags, vTarget, vPost, vHeaders;
  VariantInit(&vUrl);
  vUrl.vt = VT_BSTR;
  vUrl.bstrVal = TextToBstr(url);
  VariantInit(&vFlags);
  VariantInit(&vTarget);
  VariantInit(&vPost);
  VariantInit(&vHeaders);
  VARIANT_BOOL cancel = VARIANT_FALSE;
  VARIANT args[7];
  for (auto& a : args) VariantInit(&a);
  args[6].vt = VT_DISPATCH;
  args[6].pdispVal = nullptr;
  VARIANT* byRef[5] = {&vHeaders, &vPost, &vTarget, &vFlags, &vUrl};  // rgvarg[1] .. rgvarg[5]
  for (int i = 0; i < 5; ++i) {
    args[i + 1].vt = VT_BYREF | VT_VARIANT;
    args[i + 1].pvarVal = byRef[i];
  }
  args[0].vt = VT_BYREF | VT_BOOL;
  args[0].pboolVal = &cancel;
  DISPPARAMS params = {args, nullptr, 7, 0};
  m_eventsImpl->Invoke(kDispidBeforeNavigate2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                       nullptr, nullptr);
  VariantClear(&vUrl);
  return cancel == VARIANT_TRUE;
}

}  // namespace quon::win
