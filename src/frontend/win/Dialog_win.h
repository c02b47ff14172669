// A thin dialog framework on the Win32 dialog manager: a dialog object is
// bound to its window, messages are dispatched to virtual handlers, modal
// runs go through DialogBoxParam, and controls are bound to members by a
// data exchange (DoDataExchange/UpdateData), as the views need it.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The portable interfaces have a MessageBox operation of their own.
#ifdef MessageBox
#undef MessageBox
#endif

#include <string>

namespace quon::win {

// The module that holds the dialog templates, icons and strings (the
// executable itself unless a test or a host sets another one).
HINSTANCE ResourceInstance();
void SetResourceInstance(HINSTANCE instance);

// A string resource as 8-bit text; empty when missing.
std::string LoadResourceString(UINT id);

class Dialog {
 public:
  explicit Dialog(UINT templateId, HWND parent = nullptr);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally and returns the value passed to EndDialog, or
  // -1 when the window could not be created.
  INT_PTR DoModal();
  HWND Hwnd() const { return m_hwnd; }
  UINT TemplateId() const { return m_templateId; }
  void EndDialog(INT_PTR result);
  HWND Item(int id) const { return GetDlgItem(m_hwnd, id); }

  // Data exchange: save=false moves member values into the controls,
  // save=true reads the controls back. False when validation failed.
  bool UpdateData(bool save);

 protected:
  // Called with WM_INITDIALOG after the controls exist; the default runs the
  // data exchange into the controls and returns TRUE (focus to the first
  // tab stop).
  virtual BOOL OnInitDialog();
  virtual void DoDataExchange(bool save) { (void)save; }
  // The dialog's OK command (Enter): data exchange back, end with IDOK.
  virtual void OnOK();
  // The dialog's cancel command (Escape, close box): end with IDCANCEL.
  virtual void OnCancel();
  // WM_COMMAND from a control or menu other than IDOK/IDCANCEL; true when
  // handled.
  virtual bool OnCommand(WORD id, WORD notifyCode, HWND control);
  // Every other message. Set handled and return the dialog procedure's
  // value (for the messages whose value the dialog manager passes through,
  // such as WM_QUERYDRAGICON, that is the value itself).
  virtual INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled);
  // After the window is gone (WM_NCDESTROY).
  virtual void OnDestroyed() {}

  // Data exchange helpers.
  void ExchangeText(bool save, int id, std::string& value);
  void ExchangeCheck(bool save, int id, bool& value);
  // Binds a control's window to a handle member (the first exchange only).
  void ExchangeControl(int id, HWND& control);

 private:
  static INT_PTR CALLBACK StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);

  UINT m_templateId;
  HWND m_parent;
  HWND m_hwnd = nullptr;
};

// Window text as 8-bit text.
std::string GetWindowTextString(HWND hwnd);

}  // namespace quon::win
