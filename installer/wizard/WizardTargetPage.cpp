// The target page: the folder browser and the folder's acceptance.
#include "installer/wizard/WizardDialog.h"

// after windows.h
#include <shlobj.h>

#include "core/product/Product.h"

LRESULT WizardDialog::OnBrowse(WPARAM, LPARAM) {
  if (m_busy)
    return 0;
  // Owned by the wizard: modal to it, one at a time, and closed before the wizard ends. It
  // opens on the folder the box names, or the nearest one above it that exists.
  m_browseStart = m_editTarget.Text();
  while (!m_browseStart.empty() && (m_browseStart.back() == L' ' || m_browseStart.back() == L'\\'))
    m_browseStart.pop_back();
  for (DWORD a; !m_browseStart.empty() &&
                ((a = GetFileAttributesW(m_browseStart.c_str())) == INVALID_FILE_ATTRIBUTES ||
                 !(a & FILE_ATTRIBUTE_DIRECTORY));) {
    const std::size_t cut = m_browseStart.rfind(L'\\');
    m_browseStart.resize(cut == std::wstring::npos ? 0 : cut);
  }
  BROWSEINFOW browse{};
  browse.hwndOwner = m_hWnd;
  browse.lpszTitle = L"选择安装文件夹";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX;
  browse.lpfn = BrowseCallback;
  browse.lParam = reinterpret_cast<LPARAM>(this);
  LPITEMIDLIST chosen = SHBrowseForFolderW(&browse);
  m_browser = nullptr;
  if (chosen == nullptr)
    return 0;
  wchar_t path[MAX_PATH] = {};  // what the call writes at most
  const bool ok = SHGetPathFromIDListW(chosen, path) != FALSE;
  CoTaskMemFree(chosen);
  if (!ok || m_ending)
    return 0;
  std::wstring folder = path;
  if (folder.empty() || folder.back() != L'\\')
    folder += L'\\';
  folder += product::kFolderName;
  m_editTarget.SetText(folder.c_str());
  return 0;
}

int CALLBACK WizardDialog::BrowseCallback(HWND window, UINT message, LPARAM, LPARAM self) {
  auto* dialog = reinterpret_cast<WizardDialog*>(self);
  if (message == BFFM_INITIALIZED) {
    dialog->m_browser = window;
    if (!dialog->m_browseStart.empty()) {
      SendMessageW(window, BFFM_SETSELECTIONW, TRUE,
                   reinterpret_cast<LPARAM>(dialog->m_browseStart.c_str()));
    }
  }
  return 0;
}

Stop WizardDialog::AcceptTargetFolder() {
  const PackageFacts package = ReadPackageFacts(
      m_worker.m_resources != nullptr ? m_worker.m_resources : GetModuleHandleW(nullptr));
  Stop stop = m_installation.Prepare(m_editTarget.Text(), package);
  if (stop)
    return stop;
  stop = m_installation.Begin(!m_options.noCloseApplications);
  if (stop) {
    m_installation.Abandon();
    return stop;
  }
  lstrcpynW(m_targetDir, m_installation.Folder().c_str(), 260);
  return {};
}
