// The installer's application object: checks its own file, refuses to run twice, runs the
// wizard and, when the wizard was completed, performs the finishing actions.
#pragma once

#include <windows.h>

#include "framework/Application.h"

class SetupWizardApp : public Application {
 protected:
  BOOL InitInstance() override;
};

// The whole installer, for wWinMain: exit code 0.
int RunInstaller(HINSTANCE instance);
