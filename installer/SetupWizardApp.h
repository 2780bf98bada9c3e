// The installer's application object: reads the switches, checks its own file, refuses to
// run twice, then runs the wizard (and, when it was completed, the finishing actions) or,
// with /S, a silent installation. The exit code is a SetupExit (install/SetupOptions.h).
#pragma once

#include <windows.h>

#include "win/framework/Application.h"

class SetupWizardApp : public Application {
 public:
  // Whether DLL loading is kept to the system folder; the installer refuses to run if not.
  bool dllsConfined_ = true;

 protected:
  bool InitInstance() override;
};

// The whole installer, for wWinMain: its exit code.
int RunInstaller(HINSTANCE instance, bool dllsConfined);
