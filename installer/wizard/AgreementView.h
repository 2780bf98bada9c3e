// The agreement on the wizard's agreement page: resource 138 (HTML in GBK) shown as
// formatted text in a read-only rich-edit control loaded from the system folder. It takes
// the focus with Tab and scrolls with the keyboard.
#pragma once

#include <windows.h>

#include "win/framework/Controls.h"

class AgreementView : public Control {
 public:
  bool Create(HWND parent, int id, const RECT& rect);
  // Loads and shows the agreement page `resource` of `module`.
  void Load(HMODULE module, int resource) const;
  // The text at the window's DPI `dpi`: 9 points at the first DPI given after Create, and
  // sized anew for later ones. Nothing before Create.
  void FollowDpi(UINT dpi);

 private:
  UINT firstDpi_ = 0;
};
