// The uninstaller ("uninstall.exe" in the install folder). It reads "uninstall.ini" beside
// it, unregisters the component when it is listed, and removes the listed files and
// folders, the shortcuts and the uninstall entry, then removes itself through a temporary
// copy (uninstaller/SelfRemoval). Text is single-byte, in the system's ANSI code page, like
// the manifest it reads; so an install folder whose name that code page cannot spell is
// left whole (its manifest cannot be found under the single-byte path).
//
//   uninstall.exe [/LOG=file]          asks, removes, reports
//   uninstall.exe -silent [/LOG=file]  removes without a word, and logs (without /LOG=, to
//                                      a dated file in the temporary folder); /S, /SILENT
//                                      and /VERYSILENT, with /NORESTART or /SUPPRESSMSGBOXES
//                                      or not, mean -silent
//   uninstall.exe /clean-up-after-uninstall HANDLE "PATH" ["MADE"]
//                                      the clean-up helper (a temporary copy): waits for the
//                                      process HANDLE to end, deletes PATH and its folder
//   anything else                      does nothing (exit 4)
//
// A running client stops every mode before anything is removed, and so does a running
// installer (its single-instance mutex is held) unless that installer started this
// uninstaller itself; -silent then says nothing either (a deployment tool may run it where
// nobody sees a message) and tells by its exit code. The folder it runs over
// may be writable by users while it runs elevated: each entry is opened without following
// a link, proved through its handle to lie inside the install folder, and deleted through
// that handle; nothing outside the folder is ever deleted. Its exit codes: ExitCodes.h.
#pragma once

#include "uninstaller/ExitCodes.h"
#include "win/framework/Application.h"

class CUninstallApp : public Application {
 public:
  // Whether DLL loading is kept to the system folder; nothing is removed if not.
  bool dllsConfined_ = true;

 protected:
  bool InitInstance() override;
};
