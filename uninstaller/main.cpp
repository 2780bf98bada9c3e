// Entry point of uninstall.exe.
#include <windows.h>

#include "uninstaller/UninstallApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // First of all: DLLs come from the system folder only. The program runs elevated from
  // the install folder and, as the clean-up helper, from the temporary folder.
  // A system without SetDefaultDllDirectories (Windows 7 without update KB2533623) cannot
  // do that: the uninstaller then removes nothing and says why.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  // A drive without media fails quietly instead of raising a box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  CUninstallApp app;
  app.dllsConfined_ = set != nullptr && set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return app.Run(instance);
}
