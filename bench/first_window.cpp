// first_window PROGRAM.exe [ARGS...]
//
// Starts PROGRAM, waits until one of its top-level windows is visible, prints the time from
// the start to that moment in milliseconds ("first_window_ms 123.4") and ends the program.
// bench/compare-nsis.sh measures the installers' start-up with it. Exit status 0 measured,
// 1 the program could not start, ended first, or showed no window within 60 seconds,
// 2 usage.
#include <windows.h>

#include <cstdio>
#include <string>

#include "win/install/CommandLine.h"

namespace {

struct Search {
  DWORD pid;
  bool found;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && IsWindowVisible(window)) {
    search->found = true;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: first_window PROGRAM.exe [ARGS...]\n");
    return 2;
  }
  std::wstring command;
  for (int i = 1; i < argc; ++i) {
    if (i > 1)
      command += L' ';
    command += QuoteArgument(argv[i]);
  }
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(argv[1], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "first_window: cannot start the program (error %lu)\n", GetLastError());
    return 1;
  }
  Search search{process.dwProcessId, false};
  double ms = 0;
  for (;;) {
    EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&search));
    QueryPerformanceCounter(&now);
    ms = 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
    if (search.found || ms > 60000 || WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0)
      break;
  }
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!search.found) {
    std::fprintf(stderr, "first_window: no visible window after %.0f ms\n", ms);
    return 1;
  }
  std::printf("first_window_ms %.1f\n", ms);
  return 0;
}
