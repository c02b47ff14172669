#include "frontend/win/BrowserUi_win.h"

namespace quon::win {

// {BD3F23C0-D43E-11CF-893B-00AA00BDCE1A}
const IID kIidDocHostUiHandler = {0xBD3F23C0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};

STDMETHODIMP RefusingDropTarget::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDropTarget) {
    *object = static_cast<IDropTarget*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP BrowserUiHandler::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == kIidDocHostUiHandler) {
    *object = static_cast<IDocHostUIHandler*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP BrowserUiHandler::GetHostInfo(DOCHOSTUIINFO* info) {
  if (!info || info->cbSize < sizeof(DOCHOSTUIINFO)) return E_INVALIDARG;
  info->dwFlags = kHostFlags;
  info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
  info->pchHostCss = nullptr;
  info->pchHostNS = nullptr;
  return S_OK;
}

STDMETHODIMP BrowserUiHandler::GetDropTarget(IDropTarget*, IDropTarget** target) {
  if (!target) return E_POINTER;
  *target = new RefusingDropTarget();  // with the caller's reference
  return S_OK;
}

}  // namespace quon::win
