// Registration of the client's COM component: the system's RegSvr32 run through the
// command interpreter on "imageOle.dll" in the install folder, hidden, within a time limit.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/install/InstallRun.h"

// A registration that has not ended by then is taken to hang.
inline constexpr DWORD kRegistrationTimeLimitMs = 60000;

enum class Registration { kRegister, kUnregister };

// The command: "<system folder>\cmd.exe" /d /c RegSvr32 /s "<folder>imageOle.dll", both
// paths quoted. The interpreter is always the system's own: %ComSpec% comes from an
// environment that the user may set, and this program runs elevated; /d keeps it from
// running the AutoRun commands the user may set. Empty for a folder holding '%',
// which cmd would expand even inside the quotes. Unregistering needs no interpreter:
// "<system folder>\regsvr32.exe" /u /s "<folder>imageOle.dll".
std::wstring RegistrationCommand(const wchar_t* installFolder,
                                 Registration what = Registration::kRegister);

// Starts `command` with a hidden window, from the system folder (so no RegSvr32.exe beside
// the installer is ever the one that runs), in a job of its own, and waits up to
// `timeLimitMs`. kFailed: no command, it could not be started, or it ended with a non-zero
// exit code (RegSvr32 /s reports failure only that way). An interpreter that could not
// start RegSvr32 at all (exit code 9009) is run once more within the same limit. kHung: it
// was still running at the limit; it and everything it started are ended.
// kRegistered means the command succeeded, for an unregistration too.
RegistrationResult RunRegistration(const std::wstring& command,
                                   DWORD timeLimitMs = kRegistrationTimeLimitMs);

// RunRegistration of RegistrationCommand.
RegistrationResult RegisterComponent(const wchar_t* installFolder,
                                     DWORD timeLimitMs = kRegistrationTimeLimitMs,
                                     Registration what = Registration::kRegister);

// The classes registered machine-wide (in either registry view) whose in-process server is
// a file in `folder` (ending with '\'): "{...}" and the view's flag, as RemoveClasses takes
// them. A component's registration is these keys, whoever wrote them, and whether or not
// its file is still there.
struct RegisteredClass {
  std::wstring id;
  REGSAM view;
};
std::vector<RegisteredClass> ClassesServedFrom(const std::wstring& folder);
// Deletes every class served from `folder`; true when none is left.
bool RemoveClassesServedFrom(const std::wstring& folder);
