// The security manager the browser host gives the web browser control.
#pragma once
#include <windows.h>

#include <urlmon.h>

#include "frontend/win/ComCount_win.h"

namespace quon::win {

// The browser host's security manager: what a page may not do by itself is
// disallowed, whatever zone it is in; every other question gets the
// system's own answer. Deletes itself with its last reference.
class BrowserSecurityManager : public IInternetSecurityManager {
 public:
  virtual ~BrowserSecurityManager() = default;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IInternetSecurityManager) {
      *object = static_cast<IInternetSecurityManager*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }
  STDMETHODIMP SetSecuritySite(IInternetSecurityMgrSite*) override { return INET_E_DEFAULT_ACTION; }
  STDMETHODIMP GetSecuritySite(IInternetSecurityMgrSite** site) override {
    if (site) *site = nullptr;
    return INET_E_DEFAULT_ACTION;
  }
  STDMETHODIMP MapUrlToZone(LPCWSTR, DWORD*, DWORD) override { return INET_E_DEFAULT_ACTION; }
  STDMETHODIMP GetSecurityId(LPCWSTR, BYTE*, DWORD*, DWORD_PTR) override { return INET_E_DEFAULT_ACTION; }
  STDMETHODIMP ProcessUrlAction(LPCWSTR url, DWORD action, BYTE* policy, DWORD policySize, BYTE* context,
                                DWORD contextSize, DWORD flags, DWORD reserved) override;
  STDMETHODIMP QueryCustomPolicy(LPCWSTR, REFGUID, BYTE** policy, DWORD* size, BYTE*, DWORD, DWORD) override {
    if (policy) *policy = nullptr;
    if (size) *size = 0;
    return INET_E_DEFAULT_ACTION;
  }
  STDMETHODIMP SetZoneMapping(DWORD, LPCWSTR, DWORD) override { return INET_E_DEFAULT_ACTION; }
  STDMETHODIMP GetZoneMappings(DWORD, IEnumString** mappings, DWORD) override {
    if (mappings) *mappings = nullptr;
    return INET_E_DEFAULT_ACTION;
  }

 private:
  ComCount m_refs;
};

}  // namespace quon::win
