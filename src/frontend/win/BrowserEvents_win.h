// The browser host's DWebBrowserEvents2 sink.
#pragma once
#include <oaidl.h>
#include <ole2.h>

#include "frontend/win/BrowserHost_win.h"
#include "frontend/win/ComCount_win.h"
#include "frontend/win/InvokeOnlyDispatch_win.h"

namespace quon::win {

constexpr DISPID kDispidBeforeNavigate2 = 250;
extern const IID kDiidWebBrowserEvents2;

// The DWebBrowserEvents2 sink: BeforeNavigate2 goes to the host, and every
// new window is cancelled (a shift-click or a link with a target would open
// another browser, where no link handler watches).
class BrowserHost::Events : public InvokeOnlyDispatch {
 public:
  explicit Events(BrowserHost& host) : m_host(&host) {}
  virtual ~Events() = default;
  void Detach() { m_host = nullptr; }
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

 private:
  BrowserHost* m_host;
  ComCount m_refs;
};

}  // namespace quon::win
