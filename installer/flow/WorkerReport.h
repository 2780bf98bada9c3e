// The install worker's final report as the installer answers it: what it tells the user,
// and the exit code it ends with. The wizard and a silent installation share both.
#pragma once

#include <string>

#include "core/setup/SetupOptions.h"

// The worker's final report `code` (with the path it named): what the wizard tells the user,
// and the exit code it ends with.
std::wstring FailureMessage(int code, const std::wstring& path);
SetupExit ExitForReport(int code);
