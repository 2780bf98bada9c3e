// Paths the system hands out, in strings that grow to fit them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

// A system call that writes text of at most `size` units with its NUL into `buffer`, with
// what else it needs in `context`. It returns the text's length when it fitted; when it
// did not, either the size it needs or `size` itself (GetModuleFileName); 0 on failure.
template <class Char>
using TextCall = DWORD (*)(Char* buffer, DWORD size, const void* context);

// The text `call` writes, asked again with larger buffers until it fits; empty when the
// call fails. (One loop for every such call: a template per call would repeat it.)
std::wstring GrownString(TextCall<wchar_t> call, const void* context, std::size_t start = MAX_PATH);
std::string GrownString(TextCall<char> call, const void* context, std::size_t start = MAX_PATH);

// This program's file.
std::wstring ModulePath();
// This program's folder, with its final '\'; empty when ModulePath is.
std::wstring ModuleFolder();
// Where the file or folder behind `handle` really is ("\\?\D:\..."), or empty.
std::wstring FinalPath(HANDLE handle);
// `path` made absolute (GetFullPathName), or `path` itself when that fails.
std::wstring FullPath(const std::wstring& path);
// The long form of `path` (which exists), short names spelled long; or `path` itself.
std::wstring LongPath(const std::wstring& path);
// The volume `path` lies on, as "D:\" or "\\server\share\", or empty.
std::wstring VolumeOf(const std::wstring& path);
// The root of an absolute path as written, with its final '\': "D:\" or
// "\\server\share\"; empty for any other form (relative, rooted "\x", a drive without
// its '\', "\\server" without a share). Looks at the text only: the volume the system
// reports may be a folder on the way that a user linked to a volume.
std::wstring PathRoot(const std::wstring& path);
// The system's System32 and Windows folders, without a final '\', or empty.
std::wstring SystemFolder();
std::wstring WindowsFolder();
// The shell's special folder `csidl` (CSIDL_STARTUP, CSIDL_COMMON_PROGRAMS, ...), without a
// final '\'; empty when it cannot be resolved.
std::wstring SpecialFolderPath(int csidl);

// Where `path` lies against `folder`, by their text alone (nothing is resolved: no link,
// no short name, no "..") and ordinally in any letter case; a final '\' on `folder` does
// not count, and an empty folder holds nothing. PathWithin: `path` is the folder itself
// (with or without its final '\') or lies below it. PathBelow: it lies below it - the
// folder's '\' and at least one unit after it.
bool PathWithin(std::wstring_view path, std::wstring_view folder);
bool PathBelow(std::wstring_view path, std::wstring_view folder);
