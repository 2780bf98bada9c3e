// The installer's check of its own file at start-up: the digest stored in string 32 must
// equal the digest of the running executable's file without its digest block.
//
// The file is read through one handle, opened once sharing reading only and held until the
// installer ends, so nobody can write, rename or delete it meanwhile. Since Windows lets a
// running program's file be renamed, the file is also proved to be the running image: its
// resource section must be, byte for byte, the one the system loaded. Everything the
// installer later takes from its resources is read from the loaded image.
#pragma once

#include <windows.h>

#include <string>

#include "win/base/Paths.h"
#include "win/base/UniqueHandle.h"

// Opens the file `path` for the check: reading shared, and writing, renaming and deleting
// refused for as long as the handle is open. No handle when it cannot be opened.
UniqueHandle OpenForCheck(const wchar_t* path);

// True when string 32 of the PE file behind `file` (OpenForCheck), read from its digest
// block, holds the same 32 digits twice and they are the digest of the file
// (CheckStoredDigest: exactly 64 units, case matters), every byte read through `file` at
// explicit offsets. With `image` (this same program as the system loaded it), also only
// when the file's resource section is the image's, byte for byte: the pages compared leave
// the working set again, so the check's memory does not grow with the file.
bool VerifyFileIntegrity(HANDLE file, HMODULE image = nullptr);
// The same for the file at `path`.
bool VerifyFileIntegrity(const wchar_t* path);

// The running program's check: opens its own file into `held`, which the caller keeps
// until the program ends, and verifies it against the loaded image.
bool VerifyInstallerIntegrity(UniqueHandle* held);
