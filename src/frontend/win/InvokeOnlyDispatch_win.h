// The IDispatch base of the browser host's client site and event sink.
#pragma once
#include <oaidl.h>
#include <ole2.h>

namespace quon::win {

// An IDispatch that answers Invoke only: the control asks for ambient
// properties and raises events by their numbers, never through type
// information.
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

}  // namespace quon::win
