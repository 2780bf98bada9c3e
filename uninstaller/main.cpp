// Entry point of uninstall.exe.
#include <windows.h>

#include "uninstaller/UninstallApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // First of all: DLLs come from the system folder only. The program runs elevated from
  // the install folder and, as the clean-up helper, from the temporary folder.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set != nullptr)
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  CUninstallApp app;
  return app.Run(instance);
}
