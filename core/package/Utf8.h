// Conversions between UTF-16 (the installer's text) and UTF-8 (host file names, logs).
#pragma once

#include <string>
#include <string_view>

// Converts UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Converts UTF-8 to UTF-16. Returns false, leaving `*out` unspecified, for input that is not
// well-formed UTF-8 (overlong forms, surrogates and values above U+10FFFF included).
bool Utf8ToUtf16(std::string_view text, std::u16string* out);
