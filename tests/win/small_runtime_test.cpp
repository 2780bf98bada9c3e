// The trimmed runtime the installer and the uninstaller link (win/runtime/SmallRuntime.cpp)
// still does what they rely on: std::bad_alloc thrown and caught on a thread the program
// started itself, also rethrown from a catch, and a function-local static made exactly once
// when several threads reach it together. Linked as the two programs link it, without
// GoogleTest, whose own locks need the whole runtime. Exit code 0 when every check holds;
// otherwise the number of the first that failed.
#include <windows.h>

#include <cstddef>
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

DWORD WINAPI ThrowingThread(void* result) {
  *static_cast<bool*>(result) = CatchesBadAlloc();
  return 0;
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
  bool caught = false;
  HANDLE thread = CreateThread(nullptr, 0, ThrowingThread, &caught, 0, nullptr);
  if (thread == nullptr)
    return 1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (!caught)
    return 2;
  if (!CatchesBadAlloc())
    return 3;  // the first thread's exception state is its own

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

int main() {
  return Run();
}
