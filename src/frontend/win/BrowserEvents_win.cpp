#include "frontend/win/BrowserEvents_win.h"

#include <string>

#include "frontend/win/Boundary_win.h"

namespace quon::win {

// {34A715A0-6587-11D0-924A-0020AFC7AC4D}
const IID kDiidWebBrowserEvents2 = {0x34A715A0, 0x6587, 0x11D0, {0x92, 0x4A, 0x00, 0x20, 0xAF, 0xC7, 0xAC, 0x4D}};

namespace {

constexpr DISPID kDispidNewWindow2 = 251;
constexpr DISPID kDispidNewWindow3 = 273;

std::string BstrToText(BSTR text) {
  if (!text) return std::string();
  int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace

STDMETHODIMP BrowserHost::Events::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kDiidWebBrowserEvents2) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP BrowserHost::Events::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                         UINT*) {
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

}  // namespace quon::win
