// Names as Windows compares them: two names that differ only in letter case are one name
// on NTFS, for every script (Ä and ä, Σ, σ and ς, Ｆ and ｆ), not only for ASCII. Which
// letters an upcase table pairs depends on the Windows that formatted the volume, so the
// classes here are the widest any of them makes: i, I, ı and İ are one letter.
#pragma once

// The unit that stands for every unit Windows may take for the same letter as `unit` (the
// unit itself when there is none): two names are one name when their units map alike,
// position by position. Surrogates are left alone, as NTFS leaves them.
char16_t NameCaseFold(char16_t unit);
