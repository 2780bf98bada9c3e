#include "app/SetupWizardApp.h"

// after windows.h
#include <commctrl.h>
#include <ole2.h>

#include "app/Finishing.h"
#include "integrity/IntegrityCheck.h"
#include "product/Product.h"
#include "wizard/WizardDialog.h"

namespace {
constexpr wchar_t kCaption[] = L"提示";
}  // namespace

BOOL SetupWizardApp::InitInstance() {
  if (!VerifyInstallerIntegrity()) {
    MessageBoxW(nullptr, L"安装程序自我完整性检测失败，请尝试重新下载", kCaption, MB_OK);
    return FALSE;
  }
  // One atomic step: create, and learn from the error whether another installer had it.
  // The handle stays open until the process ends; that marks the installer as running.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, product::kMutexName);
  if (mutex == nullptr)
    return FALSE;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    MessageBoxW(nullptr, L"安装程序已经在运行", kCaption, MB_OK);
    return FALSE;
  }
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  // COM on the UI thread, for the shortcuts of the finishing step; kept to the end.
  OleInitialize(nullptr);

  WizardDialog dialog;
  if (dialog.DoModal(m_instance, IDD_WIZARD) == IDOK) {
    // The worker reports completion before registering the component and writing the
    // manifest's lists: let it finish before the client is started or the process ends.
    if (dialog.m_worker.Thread() != nullptr) {
      WaitForSingleObject(dialog.m_worker.Thread(), INFINITE);
    }
    FinishInstallation(
        dialog.m_targetDir,
        {dialog.m_autoStart != 0, dialog.m_runNow != 0, dialog.m_createShortcuts != 0},
        dialog.m_worker.Outcome().installedBytes, product::kVersion);
  }
  return FALSE;
}

int RunInstaller(HINSTANCE instance) {
  SetupWizardApp app;
  return app.Run(instance);
}
