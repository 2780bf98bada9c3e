// A program that takes its time: it sleeps SETUP_SLOW_MS milliseconds (3,000 unless set),
// whatever its arguments, and ends with exit code SETUP_SLOW_EXIT (0 unless set). When
// SETUP_SLOW_RUNS names a file, each run adds a line to it. Tests put it where the wizard
// waits for another program (an earlier installation's uninstaller) and in the place of
// the registration's interpreter.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

long Number(const char* name, long otherwise) {
  char value[32] = {};
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::atol(value) : otherwise;
}

}  // namespace

int main() {
  char runs[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("SETUP_SLOW_RUNS", runs, sizeof runs);
  if (n > 0 && n < sizeof runs) {
    HANDLE file = CreateFileA(runs, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "run\r\n", 5, &written, nullptr);
    CloseHandle(file);
  }
  Sleep(static_cast<DWORD>(Number("SETUP_SLOW_MS", 3000)));
  return static_cast<int>(Number("SETUP_SLOW_EXIT", 0));
}
