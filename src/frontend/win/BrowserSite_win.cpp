#include "frontend/win/BrowserSite_win.h"

#include <urlmon.h>

#include "frontend/win/BrowserSecurity_win.h"
#include "frontend/win/BrowserUi_win.h"
#include "resource.h"

namespace quon::win {

namespace {

constexpr DISPID kDispidAmbientSilent = -5502;  // DISPID_AMBIENT_SILENT

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

STDMETHODIMP BrowserHost::Site::QueryInterface(REFIID riid, void** object) {
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

STDMETHODIMP BrowserHost::Site::OnPosRectChange(LPCRECT rect) {
  IOleInPlaceObject* inPlace = nullptr;
  if (rect && m_host && m_host->m_object &&
      SUCCEEDED(m_host->m_object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
    inPlace->SetObjectRects(rect, rect);
    inPlace->Release();
  }
  return S_OK;
}

STDMETHODIMP BrowserHost::Site::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                       UINT*) {
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

STDMETHODIMP BrowserHost::Site::QueryService(REFGUID service, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (service != SID_SInternetSecurityManager || !m_host) return E_NOINTERFACE;
  return m_host->m_securityImpl->QueryInterface(riid, object);
}

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

}  // namespace quon::win
