// The trimmed runtime the installer and the uninstaller link (win/runtime/SmallRuntime.cpp)
// still does what they rely on: std::bad_alloc thrown and caught on a thread the program
// started itself, also rethrown from a catch, with the thread's last error as it was before
// the throw; a function-local static made exactly once when several threads reach it
// together, made again after its initialiser threw, and ending the program when its
// initialiser comes back to it. Linked as the two programs link it, without GoogleTest,
// whose own locks need the whole runtime. Exit code 0 when every check holds; otherwise the
// number of the first that failed.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>

namespace {

volatile std::size_t g_huge = ~std::size_t{0} / 4;
char* volatile g_block = nullptr;  // kept, so that the allocation is not left out

LONG g_made = 0;

// Slow to make, so that the other threads arrive while the first one makes it.
int Made() {
  static const int value = [] {
    Sleep(50);
    return static_cast<int>(InterlockedIncrement(&g_made));
  }();
  return value;
}

bool CatchesBadAlloc() {
  try {
    g_block = new char[g_huge];
    return false;
  } catch (const std::bad_alloc&) {
  }
  try {
    try {
      throw std::bad_alloc();
    } catch (...) {
      if (std::uncaught_exceptions() != 0)
        return false;
      throw;
    }
  } catch (const std::bad_alloc&) {
    return std::uncaught_exceptions() == 0 && std::current_exception() != nullptr;
  }
  return false;
}

// A catch block still sees the last error set before the throw (the exception globals live
// in a TLS slot, and reading one clears the last error).
bool KeepsTheLastError() {
  SetLastError(ERROR_DISK_FULL);
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    return GetLastError() == ERROR_DISK_FULL;
  }
}

DWORD WINAPI ThrowingThread(void* result) {
  // The thread's first throw makes its exception globals.
  *static_cast<int*>(result) = !KeepsTheLastError() ? 7 : CatchesBadAlloc() ? 0 : 2;
  return 0;
}

int g_tries = 0;

// Its initialiser throws the first time: the next call runs it again.
int MadeOnTheSecondTry() {
  static const int value = [] {
    if (++g_tries == 1)
      throw std::bad_alloc();
    return g_tries;
  }();
  return value;
}

bool RetriesAfterAThrow() {
  try {
    MadeOnTheSecondTry();
    return false;
  } catch (const std::bad_alloc&) {
  }
  return MadeOnTheSecondTry() == 2 && MadeOnTheSecondTry() == 2 && g_tries == 2;
}

volatile bool g_reenter = true;

// Its initialiser reaches the static it makes.
int ReEntered() {
  static const int value = g_reenter ? ReEntered() + 1 : 0;
  return value;
}

// Runs this program again with `argument`: its exit code, or STILL_ACTIVE when it could not
// start or did not end within 10 s (it is ended then).
DWORD RunAgain(const wchar_t* argument) {
  wchar_t path[MAX_PATH];
  wchar_t line[2 * MAX_PATH];
  if (GetModuleFileNameW(nullptr, path, MAX_PATH) >= MAX_PATH - 1)
    return STILL_ACTIVE;
  wsprintfW(line, L"\"%s\" %s", path, argument);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(path, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return STILL_ACTIVE;
  }
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  else
    TerminateProcess(process.hProcess, STILL_ACTIVE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

struct Racer {
  HANDLE start;
  int seen;
};

DWORD WINAPI RacingThread(void* context) {
  Racer* racer = static_cast<Racer*>(context);
  WaitForSingleObject(racer->start, INFINITE);
  racer->seen = Made();
  return 0;
}

int Run() {
  int thrown = 1;
  HANDLE thread = CreateThread(nullptr, 0, ThrowingThread, &thrown, 0, nullptr);
  if (thread == nullptr)
    return 1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (thrown != 0)
    return thrown;
  if (!CatchesBadAlloc())
    return 3;  // the first thread's exception state is its own
  if (!KeepsTheLastError())
    return 8;
  if (!RetriesAfterAThrow())
    return 9;
  // abort(): exit code 3 from msvcrt, a fast fail from the UCRT. Not a stack overflow, not
  // a thread waiting for itself.
  const DWORD reentered = RunAgain(L"reenter");
  if (reentered != 3 && reentered != STATUS_STACK_BUFFER_OVERRUN)
    return 10;

  constexpr int kRacers = 6;
  HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Racer racers[kRacers];
  HANDLE threads[kRacers];
  for (int i = 0; i < kRacers; ++i) {
    racers[i] = {start, 0};
    threads[i] = CreateThread(nullptr, 0, RacingThread, &racers[i], 0, nullptr);
    if (threads[i] == nullptr)
      return 4;
  }
  SetEvent(start);
  WaitForMultipleObjects(kRacers, threads, TRUE, INFINITE);
  for (int i = 0; i < kRacers; ++i) {
    CloseHandle(threads[i]);
    if (racers[i].seen != 1)
      return 5;
  }
  CloseHandle(start);
  return g_made == 1 && Made() == 1 ? 0 : 6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "reenter") == 0)
    return ReEntered();
  return Run();
}
