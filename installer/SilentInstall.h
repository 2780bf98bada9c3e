// A silent installation (/S): the wizard's steps without a window. The questions are
// answered as a deployment wants - a running client is ended, an earlier installation
// replaced, an older version installed over a newer one (logged) - but a volume short of
// space stops the installation before anything is written. Messages go to the log. The folder is
// /D=, or the one the target page suggests; the finish page's choices are its defaults, changed by
// /NORUN, /NOSHORTCUTS and /STARTUP.
#pragma once

#include "core/setup/SetupOptions.h"
#include "win/install/SetupLog.h"

// Runs the installation after start-up's checks; what it ended with. A failure removes
// what was written, as the wizard does.
SetupExit InstallSilently(const SetupOptions& options, SetupLog& log);
