// The target page: the folder browser and the folder's acceptance.
#include "installer/wizard/WizardDialog.h"

// after windows.h
#include <shlobj.h>

#include "core/product/Product.h"
#include "installer/flow/SpaceCheck.h"

LRESULT WizardDialog::OnBrowse(WPARAM, LPARAM) {
  if (busy_)
    return 0;
  // Owned by the wizard: modal to it, one at a time, and closed before the wizard ends. It
  // opens on the folder the box names, or the nearest one above it that exists.
  browseStart_ = editTarget_.Text();
  while (!browseStart_.empty() && (browseStart_.back() == L' ' || browseStart_.back() == L'\\'))
    browseStart_.pop_back();
  for (DWORD a; !browseStart_.empty() &&
                ((a = GetFileAttributesW(browseStart_.c_str())) == INVALID_FILE_ATTRIBUTES ||
                 !(a & FILE_ATTRIBUTE_DIRECTORY));) {
    const std::size_t cut = browseStart_.rfind(L'\\');
    browseStart_.resize(cut == std::wstring::npos ? 0 : cut);
  }
  BROWSEINFOW browse{};
  browse.hwndOwner = hWnd_;
  browse.lpszTitle = L"选择安装文件夹";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX;
  browse.lpfn = BrowseCallback;
  browse.lParam = reinterpret_cast<LPARAM>(this);
  LPITEMIDLIST chosen = SHBrowseForFolderW(&browse);
  browser_ = nullptr;
  if (chosen == nullptr)
    return 0;
  wchar_t path[MAX_PATH] = {};  // what the call writes at most
  const bool ok = SHGetPathFromIDListW(chosen, path) != FALSE;
  CoTaskMemFree(chosen);
  if (!ok || ending_)
    return 0;
  std::wstring folder = path;
  if (folder.empty() || folder.back() != L'\\')
    folder += L'\\';
  folder += product::kFolderName;
  editTarget_.SetText(folder.c_str());
  return 0;
}

int CALLBACK WizardDialog::BrowseCallback(HWND window, UINT message, LPARAM, LPARAM self) {
  auto* dialog = reinterpret_cast<WizardDialog*>(self);
  if (message == BFFM_INITIALIZED) {
    dialog->browser_ = window;
    if (!dialog->browseStart_.empty()) {
      SendMessageW(window, BFFM_SETSELECTIONW, TRUE,
                   reinterpret_cast<LPARAM>(dialog->browseStart_.c_str()));
    }
  }
  return 0;
}

Stop WizardDialog::AcceptTargetFolder() {
  const PackageFacts package = ReadPackageFacts(
      worker_.resources_ != nullptr ? worker_.resources_ : GetModuleHandleW(nullptr));
  Stop stop = installation_.Prepare(editTarget_.Text(), package);
  if (stop)
    return stop;
  stop = installation_.Begin(!options_.noCloseApplications);
  if (stop) {
    installation_.Abandon();
    return stop;
  }
  folderAccepted_ = !installation_.Folder().empty();
  return {};
}
