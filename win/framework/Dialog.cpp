#include "win/framework/Dialog.h"

INT_PTR Dialog::DoModal(HINSTANCE instance, int templateId, HWND owner) {
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), owner, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR Dialog::DoModal(HINSTANCE instance, const DLGTEMPLATE* dialogTemplate, HWND owner) {
  return DialogBoxIndirectParamW(instance, dialogTemplate, owner, DialogProc,
                                 reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->hWnd_ = window;
    return self->OnInitDialog();
  }
  self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr)
    return FALSE;
  LRESULT result = 0;
  if (!self->Dispatch(message, wParam, lParam, &result)) {
    if (message == WM_NCDESTROY)
      self->hWnd_ = nullptr;
    return FALSE;
  }
  // These messages take the handler's result as the dialog procedure's own return value;
  // every other one through DWLP_MSGRESULT.
  if ((message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) ||
      message == WM_QUERYDRAGICON || message == WM_COMPAREITEM || message == WM_VKEYTOITEM ||
      message == WM_CHARTOITEM) {
    return static_cast<INT_PTR>(result);
  }
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

bool Dialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const UINT code = HIWORD(wParam);
  const UINT id = LOWORD(wParam);
  for (const MessageEntry* e = GetMessageMap(); e != nullptr && e->message != 0; ++e) {
    if (e->message != message)
      continue;
    if (message == WM_COMMAND && (e->code != code || e->id != id))
      continue;
    *result = (this->*(e->handler))(wParam, lParam);
    return true;
  }
  if (message == WM_COMMAND && (id == IDOK || id == IDCANCEL) && code == BN_CLICKED) {
    id == IDOK ? OnOK() : OnCancel();
    *result = 0;
    return true;
  }
  return false;
}

std::vector<WORD> EmptyDialogTemplate(short width, short height, const wchar_t* caption) {
  std::vector<WORD> t;
  const DWORD style =
      DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  t.push_back(LOWORD(style));
  t.push_back(HIWORD(style));
  t.push_back(0);  // extended style
  t.push_back(0);
  t.push_back(0);  // no controls
  t.push_back(0);  // x, y
  t.push_back(0);
  t.push_back(static_cast<WORD>(width));
  t.push_back(static_cast<WORD>(height));
  t.push_back(0);  // no menu
  t.push_back(0);  // the standard dialog class
  for (const wchar_t* c = caption; *c != L'\0'; ++c)
    t.push_back(static_cast<WORD>(*c));
  t.push_back(0);
  t.push_back(9);  // point size, then the face
  for (const wchar_t* c = L"MS Shell Dlg"; *c != L'\0'; ++c)
    t.push_back(static_cast<WORD>(*c));
  t.push_back(0);
  return t;
}
