// Names as the installed system's single-byte programs spell them. The installer writes the
// uninstall manifest in the ANSI code page of its target systems, 936, and the uninstaller
// reads it back with the single-byte calls: a name that code page cannot spell is written
// as '?' or a look-alike and is never found again.
#pragma once

#include <cstddef>
#include <string_view>

// The position of the first code unit of `name` that does not round-trip through code page
// 936 (WideCharToMultiByte without flags, then MultiByteToWideChar, gives another unit:
// no best fit, no default character; surrogates never do), or npos when every unit does.
std::size_t FirstUnitNotInCodePage936(std::u16string_view name);
