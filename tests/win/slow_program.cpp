// A program that takes its time: it sleeps SETUP_SLOW_MS milliseconds (3,000 unless set),
// whatever its arguments, and ends with exit code SETUP_SLOW_EXIT (0 unless set). When
// SETUP_SLOW_RUNS names a file, each run adds a line to it. When SETUP_SLOW_THEN names a
// program, it then runs that program with its own arguments and ends with its exit code:
// in the place of the command interpreter, a registration that is slow and still real.
// Tests put it where the wizard waits for another program: an earlier installation's
// uninstaller, the registration command.
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
  wchar_t then[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"SETUP_SLOW_THEN", then, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    // The arguments are the rest of this program's command line, after its own name.
    const wchar_t* rest = GetCommandLineW();
    const bool quoted = *rest == L'"';
    for (rest += quoted ? 1 : 0; *rest != L'\0' && *rest != (quoted ? L'"' : L' '); ++rest) {
    }
    if (quoted && *rest == L'"')
      ++rest;
    std::wstring command = std::wstring(L"\"") + then + L"\"" + rest;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(then, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return 9009;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
  }
  return static_cast<int>(Number("SETUP_SLOW_EXIT", 0));
}
