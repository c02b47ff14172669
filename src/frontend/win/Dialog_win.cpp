#include "frontend/win/Dialog_win.h"

#include "frontend/win/Boundary_win.h"

#include <vector>

namespace quon::win {

namespace {
HINSTANCE g_resourceInstance = nullptr;
const char kDialogProp[] = "QuonDialogObject";
}  // namespace

HINSTANCE ResourceInstance() {
  return g_resourceInstance ? g_resourceInstance : GetModuleHandleA(nullptr);
}

void SetResourceInstance(HINSTANCE instance) { g_resourceInstance = instance; }

std::string LoadResourceString(UINT id) {
  char buffer[1024];
  int n = LoadStringA(ResourceInstance(), id, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string GetWindowTextString(HWND hwnd) {
  int n = GetWindowTextLengthA(hwnd);
  if (n <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(n) + 1);
  n = GetWindowTextA(hwnd, buffer.data(), n + 1);
  return std::string(buffer.data(), static_cast<size_t>(n > 0 ? n : 0));
}

Dialog::Dialog(UINT templateId, HWND parent) : m_templateId(templateId), m_parent(parent) {}

Dialog::~Dialog() {
  if (m_hwnd) {
    RemovePropA(m_hwnd, kDialogProp);
    m_hwnd = nullptr;
  }
}

INT_PTR Dialog::DoModal() {
  return DialogBoxParamA(ResourceInstance(), MAKEINTRESOURCEA(m_templateId), m_parent, &Dialog::StaticProc,
                         reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(INT_PTR result) {
  if (m_hwnd) ::EndDialog(m_hwnd, result);
}

bool Dialog::UpdateData(bool save) {
  DoDataExchange(save);
  return true;
}

BOOL Dialog::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void Dialog::OnOK() {
  if (UpdateData(true)) EndDialog(IDOK);
}

void Dialog::OnCancel() { EndDialog(IDCANCEL); }

bool Dialog::OnCommand(WORD, WORD, HWND) { return false; }

INT_PTR Dialog::OnMessage(UINT, WPARAM, LPARAM, bool& handled) {
  handled = false;
  return FALSE;
}

void Dialog::ExchangeText(bool save, int id, std::string& value) {
  if (save) {
    value = GetWindowTextString(Item(id));
  } else {
    SetDlgItemTextA(m_hwnd, id, value.c_str());
  }
}

void Dialog::ExchangeCheck(bool save, int id, bool& value) {
  if (save) {
    value = IsDlgButtonChecked(m_hwnd, id) == BST_CHECKED;
  } else {
    CheckDlgButton(m_hwnd, id, value ? BST_CHECKED : BST_UNCHECKED);
  }
}

void Dialog::ExchangeControl(int id, HWND& control) {
  if (!control) control = Item(id);
}

INT_PTR CALLBACK Dialog::StaticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Dialog* self;
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    self->m_hwnd = hwnd;
    SetPropA(hwnd, kDialogProp, self);
  } else {
    self = static_cast<Dialog*>(GetPropA(hwnd, kDialogProp));
  }
  if (!self) return FALSE;
  if (msg == WM_NCDESTROY) {
    RemovePropA(hwnd, kDialogProp);
    self->m_hwnd = nullptr;
    AtBoundary("Dialog:", 0, [self] {
      self->OnDestroyed();
      return 0;
    });
    return FALSE;
  }
  return AtBoundary("Dialog:", INT_PTR{FALSE}, [&] { return self->Dispatch(msg, wParam, lParam); });
}

INT_PTR Dialog::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND: {
      WORD id = LOWORD(wParam);
      WORD code = HIWORD(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (OnCommand(id, code, control)) return TRUE;
      if (id == IDOK && code == BN_CLICKED) {
        OnOK();
        return TRUE;
      }
      if (id == IDCANCEL && code == BN_CLICKED) {
        OnCancel();
        return TRUE;
      }
      return FALSE;
    }
    default: {
      bool handled = false;
      INT_PTR value = OnMessage(msg, wParam, lParam, handled);
      return handled ? value : FALSE;
    }
  }
}

}  // namespace quon::win
