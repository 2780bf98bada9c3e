// Numbers as text for the logs and the wizard's sizes, without the C runtime's printf: the
// programs do not link a formatted-output engine and its floating-point conversion (about
// 24 KB) for the few numbers they show. Header-only, for any character type: wchar_t in the
// programs, char in the tests.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

// `value` in decimal, with "-" first when it is negative and zeros in front up to
// `minDigits` digits (the sign not counted).
template <class Char, class Integer>
std::basic_string<Char> DecimalText(Integer value, int minDigits = 1) {
  static_assert(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>);
  std::uint64_t magnitude = static_cast<std::uint64_t>(value);
  bool negative = false;
  if constexpr (std::is_signed_v<Integer>) {
    if (value < 0) {
      negative = true;
      magnitude = 0 - magnitude;  // modulo 2^64: also right for the most negative value
    }
  }
  Char digits[24];
  Char* const end = digits + sizeof digits / sizeof digits[0];
  Char* first = end;
  do {
    *--first = static_cast<Char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0 || (end - first < minDigits && first > digits + 1));
  if (negative)
    *--first = static_cast<Char>('-');
  return std::basic_string<Char>(first, end);
}

// numerator / 2^shift with one decimal, as printf's "%.1f" writes that exact value: rounded
// to the nearest tenth, a tie to the even tenth (0.25 is "0.2", 0.75 is "0.8"). `shift` is 1
// to 60; 20 gives MiB from bytes, 30 GiB.
template <class Char>
std::basic_string<Char> TenthsText(std::uint64_t numerator, unsigned shift) {
  const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
  std::uint64_t whole = numerator >> shift;
  const std::uint64_t scaled = (numerator & mask) * 10;  // below 2^64 for shift <= 60
  std::uint64_t tenth = scaled >> shift;
  const std::uint64_t rest = scaled & mask;
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && tenth % 2 != 0))
    ++tenth;
  if (tenth == 10) {
    ++whole;
    tenth = 0;
  }
  std::basic_string<Char> text = DecimalText<Char>(whole);
  text += static_cast<Char>('.');
  text += static_cast<Char>('0' + tenth);
  return text;
}
