// Names as Windows compares them: two names that differ only in letter case are one name
// on NTFS, for every script (Ä and ä, Σ, σ and ς, Ｆ and ｆ), not only for ASCII.
#pragma once

// The Unicode simple case folding of one UTF-16 code unit (the unit itself when it has
// none). Surrogates are left alone, as NTFS leaves them.
char16_t SimpleCaseFold(char16_t unit);
