// A program that takes its time: it sleeps SETUP_SLOW_MS milliseconds (3,000 unless set),
// whatever its arguments, and ends with exit code 0. Tests put it where the wizard waits
// for another program: an earlier installation's uninstaller, the registration command.
#include <windows.h>

#include <cstdlib>

int main() {
  char value[32] = {};
  const DWORD n = GetEnvironmentVariableA("SETUP_SLOW_MS", value, sizeof value);
  Sleep(n > 0 && n < sizeof value ? static_cast<DWORD>(std::atol(value)) : 3000);
  return 0;
}
