// Entry point of the installer.
#include <windows.h>

#include "installer/SetupWizardApp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // First of all: DLLs come from the system folder only. The installer runs elevated from
  // a downloads folder, where anything may lie beside it.
  // A system without SetDefaultDllDirectories (Windows 7 without update KB2533623) cannot
  // do that: the installer then refuses to run.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  const bool confined = set != nullptr && set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A drive without media (an empty card reader) fails quietly instead of raising a box
  // while the drives are listed.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return RunInstaller(instance, confined);
}
