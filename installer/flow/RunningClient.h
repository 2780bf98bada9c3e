// The processes that use an installation, found in every session, and their closing: asked
// first, ended after a while. Installation::Find and Begin run them.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "installer/flow/Interaction.h"

// The processes, in any session, that use the installation in `folder` (ending with '\';
// empty: none): `programs` run a program of it or have a window of the client's class
// wherever their program lies; `modules` only loaded a module of it (its component), each
// with its program's file name.
struct ClientProcesses {
  std::vector<DWORD> programs;
  std::vector<std::pair<DWORD, std::wstring>> modules;
};
ClientProcesses FindClientProcesses(const std::wstring& folder);

// Asks `found.programs` to close (WM_CLOSE), waits a while, then ends those still there.
// Stops with kClientNotEnded, having told so, when one stays. Programs that only loaded a
// module are left running (the shell may be one): a file of theirs goes at the next restart.
Stop CloseClient(const ClientProcesses& found, Interaction& interaction);
