// Numbers as text for the logs and the wizard's sizes, without the C runtime's printf: the
// programs do not link a formatted-output engine and its floating-point conversion (about
// 24 KB) for the few numbers they show; and decimal text read back, without strtoul and its
// locale. Header-only, for any character type: wchar_t in the programs, char16_t in the
// core, char in the files it reads and in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

// `text` read as a whole decimal number of 1 to `maxDigits` digits (at most 19, so that it
// fits in 64 bits), zeros in front allowed: true with the number in `*value`. False, with
// `*value` as it was, for an empty text, a longer one, a sign, a blank or any other unit,
// and for a number that `Unsigned` cannot hold. A narrower range, or no zeros in front, is
// the caller's to check.
template <class Char, class Unsigned>
bool ParseDecimal(std::basic_string_view<Char> text, std::size_t maxDigits, Unsigned* value) {
  static_assert(std::is_unsigned_v<Unsigned> && !std::is_same_v<Unsigned, bool>);
  if (text.empty() || text.size() > maxDigits || maxDigits > 19)
    return false;
  std::uint64_t number = 0;
  for (const Char c : text) {
    if (c < static_cast<Char>('0') || c > static_cast<Char>('9'))
      return false;
    number = number * 10 + static_cast<std::uint64_t>(c - static_cast<Char>('0'));
  }
  if (number > static_cast<std::uint64_t>(static_cast<Unsigned>(-1)))
    return false;
  *value = static_cast<Unsigned>(number);
  return true;
}
