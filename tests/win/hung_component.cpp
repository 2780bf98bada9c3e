// A COM component whose registration never ends, for the registration's time limit: it
// holds a named mutex while it waits, so a test can tell that the process was ended.
#include <windows.h>

extern "C" HRESULT WINAPI DllRegisterServer() {
  CreateMutexW(nullptr, TRUE, L"SetupHungRegistration");
  Sleep(INFINITE);
  return S_OK;
}
