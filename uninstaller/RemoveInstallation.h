// The removal of an installation by the uninstaller that lies in its folder: the component
// unregistered while its file is there, the files and folders its manifest lists removed,
// what the installation kept aside put back, then the shortcuts, the uninstall entry and,
// through a temporary copy, the uninstaller's own file. When something of the installation
// stays in its folder (a file in use, a kept file that cannot go back, a folder that cannot
// go), the manifest is rewritten to name only what stays and the uninstall entry and the
// uninstaller stay too: running it again finishes the removal. A file that a program loaded
// cannot be deleted while it runs but may be renamed: it moves aside and goes at the next
// restart, with the folders it keeps, and the removal counts as done.
#pragma once

#include <windows.h>

#include <string>

class SetupLog;

// Removes the installation this program belongs to and returns the exit code
// (ExitCodes.h), logging each step. Unless `silent`, tells the user how it went; a folder
// whose name the system's ANSI code page cannot spell is left whole, and said so.
int RemoveInstallation(bool silent, SetupLog& log);

// A message box with the uninstaller's caption, in the system's ANSI code page.
int Message(const std::string& text, UINT type);
