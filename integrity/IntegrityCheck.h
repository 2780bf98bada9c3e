// The installer's check of its own file at start-up: the digest stored in string 32 must
// equal the digest of the running executable's file without its digest block.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The running executable's full path, however long; empty when it cannot be read.
std::wstring ModulePath();

// Locates the digest block of the PE file at `path` through a read-only view of the file.
// False, with the outputs untouched, when the file cannot be opened or mapped or has no
// string table.
bool FindDigestBlock(const wchar_t* path, std::uint32_t* position, std::uint32_t* size);

// Writes the 32 upper-case hexadecimal digits of the file's digest, NUL-terminated, into
// `digest` (room for at least 33 units). False, with `digest` untouched, when the file
// cannot be read, is empty or is 104,857,600 bytes or larger, or has no digest block.
// Reads the file once, through a read-only view: nothing of the file's size is allocated.
bool FileDigest(const wchar_t* path, wchar_t* digest);

// True when string 32 of the PE file at `path`, read from its digest block, holds the same 32
// digits twice and they are the digest of the file (CheckStoredDigest: exactly 64 units,
// case matters). False for a file that cannot be read.
bool VerifyFileIntegrity(const wchar_t* path);

// VerifyFileIntegrity of the running executable's own file.
bool VerifyInstallerIntegrity();
