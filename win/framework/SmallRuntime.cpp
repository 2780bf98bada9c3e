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
// Each set must stay complete: if the linker needs one helper these do not define, it takes
// the runtime's object that defines them all and the link fails on the duplicates.
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
