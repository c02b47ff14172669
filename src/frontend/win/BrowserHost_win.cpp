#include "frontend/win/BrowserHost_win.h"

#include <exdisp.h>
#include <exdispid.h>
#include <oaidl.h>
#include <ocidl.h>
#include <servprov.h>
#include <urlmon.h>

#include <cstring>
#include <vector>

#include "frontend/win/Boundary_win.h"
#include "frontend/win/BrowserSecurity_win.h"
#include "frontend/win/BrowserUi_win.h"
#include "resource.h"

namespace quon::win {

namespace {

constexpr DISPID kDispidAmbientDlControl = -5512;  // DISPID_AMBIENT_DLCONTROL
constexpr long kDlctlNoScripts = 0x00000080;        // DLCTL_NO_SCRIPTS
constexpr long kDlctlNoJava = 0x00000100;           // DLCTL_NO_JAVA
constexpr long kDlctlNoRunActiveXCtls = 0x00000200; // DLCTL_NO_RUNACTIVEXCTLS
constexpr DISPID kDispidNavigate2 = 500;
constexpr DISPID kDispidAmbientSilent = -5502;      // DISPID_AMBIENT_SILENT
constexpr DISPID kDispidBeforeNavigate2 = 250;
constexpr DISPID kDispidNewWindow2 = 251;
constexpr DISPID kDispidNewWindow3 = 273;

// {8856F961-340A-11D0-A96B-00C04FD705A2}
const CLSID kClsidWebBrowser = {0x8856F961, 0x340A, 0x11D0, {0xA9, 0x6B, 0x00, 0xC0, 0x4F, 0xD7, 0x05, 0xA2}};
// {34A715A0-6587-11D0-924A-0020AFC7AC4D}
const IID kDiidWebBrowserEvents2 = {0x34A715A0, 0x6587, 0x11D0, {0x92, 0x4A, 0x00, 0x20, 0xAF, 0xC7, 0xAC, 0x4D}};

// The host whose control takes keys (the user-interface thread has one).
quon::win::BrowserHost* t_keyHost = nullptr;

std::string BstrToText(BSTR text) {
  if (!text) return std::string();
  int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], n, nullptr, nullptr);
  return out;
}

BSTR TextToBstr(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (out && n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out, n);
  return out;
}

LRESULT CALLBACK SiteWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_ERASEBKGND) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(reinterpret_cast<HDC>(wParam), &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    return 1;
  }
  // The site gets the focus from the dialog (Tab, a click beside the page);
  // the control's window takes it (and hands it on to its document), so
  // that Tab and Enter reach the page's links.
  if (msg == WM_SETFOCUS) {
    if (HWND control = GetWindow(hwnd, GW_CHILD)) SetFocus(control);
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

bool RegisterBrowserSiteClass() {
  WNDCLASSA existing;
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (GetClassInfoA(instance, QUON_BROWSER_SITE_CLASS, &existing)) return true;
  WNDCLASSA wc = {};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &SiteWndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = QUON_BROWSER_SITE_CLASS;
  return RegisterClassA(&wc) != 0;
}

// An IDispatch that answers Invoke only: the control asks for ambient
// properties and raises events by their numbers, never through type
// information.
namespace {
struct InvokeOnlyDispatch : public IDispatch {
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
};
}  // namespace

// The client site, the in-place site and the ambient properties. Each of
// the host's COM objects deletes itself when its last reference goes; the
// host holds one, and detaches the objects when it goes, so that one the
// control still holds answers without it.
class BrowserHost::Site : public IOleClientSite,
                          public IOleInPlaceSite,
                          public InvokeOnlyDispatch,
                          public IServiceProvider {
 public:
  explicit Site(BrowserHost& host) : m_host(&host) {}
  virtual ~Site() = default;
  void Detach() { m_host = nullptr; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
      *object = static_cast<IOleClientSite*>(this);
    } else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow) {
      *object = static_cast<IOleInPlaceSite*>(this);
    } else if (riid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
    } else if (riid == IID_IServiceProvider) {
      *object = static_cast<IServiceProvider*>(this);
    } else if (riid == kIidDocHostUiHandler && m_host) {
      return m_host->m_uiImpl->QueryInterface(riid, object);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** container) override {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow / IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* hwnd) override {
    if (!hwnd) return E_POINTER;
    *hwnd = m_host ? m_host->m_site : nullptr;
    return m_host ? S_OK : E_FAIL;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO info) override;
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT rect) override {
    IOleInPlaceObject* inPlace = nullptr;
    if (rect && m_host && m_host->m_object &&
        SUCCEEDED(m_host->m_object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
      inPlace->SetObjectRects(rect, rect);
      inPlace->Release();
    }
    return S_OK;
  }

  // IDispatch: the ambient properties.
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id == kDispidAmbientDlControl && (flags & DISPATCH_PROPERTYGET) && result) {
      VariantInit(result);
      result->vt = VT_I4;
      result->lVal = BrowserHost::DownloadControlFlags();
      return S_OK;
    }
    // Silent: the control shows no dialog boxes of its own (script errors,
    // certificate questions).
    if (id == kDispidAmbientSilent && (flags & DISPATCH_PROPERTYGET) && result) {
      VariantInit(result);
      result->vt = VT_BOOL;
      result->boolVal = VARIANT_TRUE;
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  // IServiceProvider: the control asks its site for a security manager.
  STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** object) override;

 private:
  BrowserHost* m_host;
  ComCount m_refs;
};

STDMETHODIMP BrowserHost::Site::QueryService(REFGUID service, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (service != SID_SInternetSecurityManager || !m_host) return E_NOINTERFACE;
  return m_host->m_securityImpl->QueryInterface(riid, object);
}

// The minimal in-place frame: no menus, no tool space, no status line.
class BrowserHost::Frame : public IOleInPlaceFrame {
 public:
  explicit Frame(BrowserHost& host) : m_host(&host) {}
  virtual ~Frame() = default;
  void Detach() { m_host = nullptr; }
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOleWindow || riid == IID_IOleInPlaceUIWindow ||
        riid == IID_IOleInPlaceFrame) {
      *object = static_cast<IOleInPlaceFrame*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }
  STDMETHODIMP GetWindow(HWND* hwnd) override {
    if (!hwnd) return E_POINTER;
    *hwnd = m_host ? GetAncestor(m_host->m_site, GA_ROOT) : nullptr;
    return m_host ? S_OK : E_FAIL;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

 private:
  BrowserHost* m_host;
  ComCount m_refs;
};

// The DWebBrowserEvents2 sink: BeforeNavigate2 goes to the host, and every
// new window is cancelled (a shift-click or a link with a target would open
// another browser, where no link handler watches).
class BrowserHost::Events : public InvokeOnlyDispatch {
 public:
  explicit Events(BrowserHost& host) : m_host(&host) {}
  virtual ~Events() = default;
  void Detach() { m_host = nullptr; }
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kDiidWebBrowserEvents2) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (!params) return S_OK;
    // NewWindow2(ppDisp, Cancel); NewWindow3(ppDisp, Cancel, dwFlags,
    // bstrUrlContext, bstrUrl). Arguments arrive last first.
    if ((id == kDispidNewWindow2 && params->cArgs >= 2) || (id == kDispidNewWindow3 && params->cArgs >= 5)) {
      VARIANT& cancel = params->rgvarg[params->cArgs - 2];
      if (cancel.vt == (VT_BYREF | VT_BOOL) && cancel.pboolVal) *cancel.pboolVal = VARIANT_TRUE;
      return S_OK;
    }
    if (id != kDispidBeforeNavigate2 || params->cArgs < 7) return S_OK;
    // Arguments arrive last first: pDisp, URL, Flags, TargetFrameName,
    // PostData, Headers, Cancel.
    VARIANT& url = params->rgvarg[5];
    VARIANT& cancel = params->rgvarg[0];
    BSTR text = nullptr;
    if (url.vt == (VT_BYREF | VT_VARIANT) && url.pvarVal && url.pvarVal->vt == VT_BSTR) {
      text = url.pvarVal->bstrVal;
    } else if (url.vt == VT_BSTR) {
      text = url.bstrVal;
    } else if (url.vt == (VT_BYREF | VT_BSTR) && url.pbstrVal) {
      text = *url.pbstrVal;
    }
    VARIANT_BOOL* cancelFlag = cancel.vt == (VT_BYREF | VT_BOOL) ? cancel.pboolVal : nullptr;
    if (m_host) m_host->OnBeforeNavigate2(text, cancelFlag);
    return S_OK;
  }

 private:
  BrowserHost* m_host;
  ComCount m_refs;
};

STDMETHODIMP BrowserHost::Site::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                                  LPRECT position, LPRECT clip, LPOLEINPLACEFRAMEINFO info) {
  if (frame) *frame = nullptr;
  if (document) *document = nullptr;
  if (!m_host) return E_FAIL;
  if (frame) {
    *frame = m_host->m_frameImpl;
    m_host->m_frameImpl->AddRef();
  }
  RECT rc;
  GetClientRect(m_host->m_site, &rc);
  if (position) *position = rc;
  if (clip) *clip = rc;
  if (info) {
    info->fMDIApp = FALSE;
    info->hwndFrame = GetAncestor(m_host->m_site, GA_ROOT);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
  }
  return S_OK;
}

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

void BrowserHost::OnBeforeNavigate2(BSTR url, VARIANT_BOOL* cancelFlag) {
  // The program's own page load follows no link: its address (a directory
  // may be named like a link) is nothing for the link handler.
  if (m_navigating) return;
  bool cancel = false;
  const bool userStarted = TakeUserInput();
  // A handler that fails stops the navigation.
  const bool handled = AtBoundary("BeforeNavigate2:", false, [&] {
    if (m_handler) m_handler(BstrToText(url), userStarted, cancel);
    return true;
  });
  if ((cancel || !handled) && cancelFlag) *cancelFlag = VARIANT_TRUE;
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
