// The uninstaller ("uninstall.exe" in the install folder). It reads "uninstall.ini" beside
// it and removes the listed files and folders, the shortcuts and the uninstall entry, then
// removes itself through a temporary copy. Text is single-byte, in the system's ANSI code
// page, like the manifest it reads.
//
//   uninstall.exe                      asks, removes, reports
//   uninstall.exe -silent              removes without a word
//   uninstall.exe HANDLE "PATH"        the clean-up helper (a temporary copy): waits for the
//                                      process HANDLE to end, deletes PATH and its folder
//   anything else                      does nothing
//
// A running client stops every mode before anything is removed.
#pragma once

#include <string>

#include "framework/Application.h"

class CUninstallApp : public Application {
 protected:
  BOOL InitInstance() override;
};

// Relative manifest values the uninstaller acts on: no drive, not absolute, no ".."
// component (the folder it runs over may be writable by users; it runs elevated).
bool IsSafeManifestPath(const std::string& value);

// Removes `folder` when nothing but "Thumbs.db" files (any letter case) is left in it,
// deleting those; a sub-folder or any other file keeps it.
void RemoveFolderIfEmpty(const std::string& folder);
