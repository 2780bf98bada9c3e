#include "uninstaller/UninstallApp.h"

#include <commctrl.h>

#include <cstring>

#include "core/product/Product.h"
#include "uninstaller/RemoveInstallation.h"
#include "uninstaller/SelfRemoval.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/install/AdminObjects.h"

namespace {

using namespace product;

// An installer runs (it holds its mutex, which Administrators own) and did not grant this
// uninstaller its run: removing files under a running installation would leave it with an
// uninstall entry pointing at nothing.
bool InstallerRunning() {
  if (GrantedByInstaller())
    return false;
  const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, kMutexName));
  return mutex.valid() && OwnedByAdministrators(mutex.get());
}

void InitControls() {
  // Loaded from the system folder by full search rule, never from beside the program.
  HMODULE comctl = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (comctl == nullptr)
    return;
  using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init = reinterpret_cast<Init>(
      reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
  if (init != nullptr) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    init(&controls);
  }
}

}  // namespace

BOOL CUninstallApp::InitInstance() {
  const int argc = __argc;
  char** const argv = __argv;
  const bool silent = argc == 2 && std::strcmp(argv[1], "-silent") == 0;  // byte for byte
  if (!m_dllsConfined) {
    if (!silent)
      Message(ToCodePage(kSystemUnsupported), MB_OK);
    m_exitCode = kExitSystemUnsupported;
    return FALSE;
  }
  InitControls();
  if (FindWindowA(ToCodePage(kClientWindowClass).c_str(), nullptr) != nullptr) {
    if (!silent)
      Message(ToCodePage(kClientRunning), MB_OK);
    m_exitCode = kExitClientRunning;
    return FALSE;
  }
  if ((argc == 1 || silent) && InstallerRunning()) {
    if (!silent)
      Message(ToCodePage(kInstallerRunning), MB_OK);
    m_exitCode = kExitInstallerRunning;
    return FALSE;
  }
  if (argc == 1) {
    m_exitCode = Message(ToCodePage(kConfirmRemoval), MB_YESNO) == IDYES ? RemoveInstallation(false)
                                                                         : kExitCancelled;
  } else if (silent) {
    m_exitCode = RemoveInstallation(true);
  } else if ((argc == 3 || argc == 4) && CleanUp(GetCommandLineW())) {
    // the clean-up helper, with or without the folder the installation made
  } else {
    m_exitCode = kExitUsage;
  }
  return FALSE;
}
