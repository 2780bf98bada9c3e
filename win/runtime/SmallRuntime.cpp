// Replacements for parts of the static C++ runtime that the two programs link but never
// need. Linked as objects (not from an archive) into the installer and the uninstaller
// only, so the linker takes these definitions before it looks in libstdc++; the tests link
// the runtime's own.
//
// - The default terminate handler prints the uncaught exception's demangled type name,
//   which links the whole demangler (about 45 KB of code). A GUI program has no console to
//   print to; ending at once is what the default handler does after printing.
// - The library's "throw" helpers (std::__throw_length_error and its kin, called by the
//   containers, strings and std::mutex) link every standard exception class, the old
//   copy-on-write string they hold their message in, and the error categories: about 40 KB.
//   Neither program catches any of these exceptions, so each one would reach std::terminate
//   and abort; here they abort at once. Allocation failure still throws std::bad_alloc,
//   which the installation run catches.
//
// - The guards of function-local statics and the per-thread exception globals. The
//   runtime's (guard.o, eh_globals.o) are built on winpthreads' once, condition variable
//   and thread keys, which link its thread object and most of the library besides: about
//   25 KB in each program. These are built on the Win32 calls they need and nothing else.
//
// Each set must stay complete: if the linker needs one helper these do not define, it takes
// the runtime's object that defines them all and the link fails on the duplicates.
#include <windows.h>

#include <cxxabi.h>
#include <cstdlib>
#include <new>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx

namespace std {

// From the runtime's functexcept.o.
void __throw_bad_alloc() {
  throw bad_alloc();
}
void __throw_bad_array_new_length() {
  throw bad_array_new_length();
}
void __throw_bad_exception() {
  abort();
}
void __throw_bad_cast() {
  abort();
}
void __throw_bad_typeid() {
  abort();
}
void __throw_logic_error(const char*) {
  abort();
}
void __throw_domain_error(const char*) {
  abort();
}
void __throw_invalid_argument(const char*) {
  abort();
}
void __throw_length_error(const char*) {
  abort();
}
void __throw_out_of_range(const char*) {
  abort();
}
void __throw_out_of_range_fmt(const char*, ...) {
  abort();
}
void __throw_runtime_error(const char*) {
  abort();
}
void __throw_range_error(const char*) {
  abort();
}
void __throw_overflow_error(const char*) {
  abort();
}
void __throw_underflow_error(const char*) {
  abort();
}
// From system_error.o (std::mutex) and functional.o (std::function).
void __throw_system_error(int) {
  abort();
}
void __throw_bad_function_call() {
  abort();
}

}  // namespace std

// From guard.o. The compiler's inline test reads the guard's first byte, which is set once
// the object is made; the word at byte 4 holds the id of the thread making it. Another
// thread waits for that one, in steps of a millisecond (a first use from two threads at
// once is rare in these programs, and the wait is short). A static whose initialiser comes
// back to itself aborts, where the runtime's throws recursive_init_error.
namespace {

unsigned char* GuardDone(__cxxabiv1::__guard* guard) {
  return reinterpret_cast<unsigned char*>(guard);
}

LONG* GuardOwner(__cxxabiv1::__guard* guard) {
  return reinterpret_cast<LONG*>(guard) + 1;
}

}  // namespace

namespace __cxxabiv1 {

extern "C" int __cxa_guard_acquire(__guard* guard) {
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  for (;;) {
    if (__atomic_load_n(GuardDone(guard), __ATOMIC_ACQUIRE) != 0)
      return 0;
    const LONG owner = InterlockedCompareExchange(GuardOwner(guard), self, 0);
    if (owner == 0) {
      // Made meanwhile by a thread that finished before this one looked.
      if (__atomic_load_n(GuardDone(guard), __ATOMIC_ACQUIRE) == 0)
        return 1;
      InterlockedExchange(GuardOwner(guard), 0);
      return 0;
    }
    if (owner == self)
      std::abort();
    Sleep(1);
  }
}

extern "C" void __cxa_guard_release(__guard* guard) noexcept {
  __atomic_store_n(GuardDone(guard), 1, __ATOMIC_RELEASE);
  InterlockedExchange(GuardOwner(guard), 0);
}

extern "C" void __cxa_guard_abort(__guard* guard) noexcept {
  InterlockedExchange(GuardOwner(guard), 0);
}

}  // namespace __cxxabiv1

// From eh_globals.o: each thread's list of caught exceptions and count of uncaught ones
// (two words the runtime's __cxa_eh_globals lays out), in a zeroed block that a Win32 TLS
// slot holds. The block is made at a thread's first throw or catch and is not given back
// when the thread ends: the programs throw on a handful of threads at most. Without a TLS
// slot or the block's 16 bytes the program aborts, as the runtime's emulated TLS does.
namespace {

constexpr DWORD kNoSlot = TLS_OUT_OF_INDEXES;
LONG g_ehSlot = static_cast<LONG>(kNoSlot);

DWORD EhSlot() {
  const LONG slot = __atomic_load_n(&g_ehSlot, __ATOMIC_ACQUIRE);
  if (slot != static_cast<LONG>(kNoSlot))
    return static_cast<DWORD>(slot);
  const DWORD made = TlsAlloc();
  if (made == kNoSlot)
    std::abort();
  const LONG before =
      InterlockedCompareExchange(&g_ehSlot, static_cast<LONG>(made), static_cast<LONG>(kNoSlot));
  if (before == static_cast<LONG>(kNoSlot))
    return made;
  TlsFree(made);  // another thread's slot came first
  return static_cast<DWORD>(before);
}

}  // namespace

namespace __cxxabiv1 {

// TlsGetValue clears the thread's last error; a catch block may still want it.
extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept {
  const DWORD lastError = GetLastError();
  const DWORD slot = EhSlot();
  void* block = TlsGetValue(slot);
  if (block == nullptr) {
    block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 2 * sizeof(void*));
    if (block == nullptr || !TlsSetValue(slot, block))
      std::abort();
  }
  SetLastError(lastError);
  return static_cast<__cxa_eh_globals*>(block);
}

extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept {
  const DWORD lastError = GetLastError();
  void* block = TlsGetValue(EhSlot());
  SetLastError(lastError);
  return static_cast<__cxa_eh_globals*>(block);
}

}  // namespace __cxxabiv1
