// Letter case of the ASCII letters alone, as the system's names compare: switches, manifest
// keys, resource names, reserved device names. Other letters keep their case - upper-casing
// them is the locale's business, which none of those names is. Header-only, for any
// character type: char16_t in the core, char in the manifest, wchar_t in the programs.
#pragma once

// `c` with a-z made A-Z; any other unit as it is.
template <class Char>
constexpr Char AsciiUpper(Char c) {
  return c >= static_cast<Char>('a') && c <= static_cast<Char>('z')
             ? static_cast<Char>(c - static_cast<Char>('a' - 'A'))
             : c;
}
