// Registration of the client's COM component: the system's RegSvr32 run through the
// command interpreter on "imageOle.dll" in the install folder, hidden, waited for.
#pragma once

#include <string>

// The command: "<ComSpec> /c RegSvr32 /s "<folder>imageOle.dll"". ComSpec is read whole,
// however long; when it is missing, the system's own cmd.exe is used.
std::wstring RegistrationCommand(const wchar_t* installFolder);

// Starts the command with a hidden window, from the system folder (so no RegSvr32.exe
// beside the installer is ever the one that runs), and waits for it to end. Failures are
// not reported: the component's registration is not essential to the installation.
void RegisterComponent(const wchar_t* installFolder);
