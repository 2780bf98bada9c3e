// Folder creation: every missing folder along a path.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Creates every missing folder along `path` (at most 259 UTF-16 code units). A path that
// ends with '\' gets itself and its ancestors; a file path gets its containing folders.
// Returns TRUE when the path already names a folder or every folder could be made; FALSE
// at the first folder that cannot be made (those made before stay), or for a longer path.
BOOL EnsureDirectories(const wchar_t* path);

// The same, creating each folder with `rights` (null: inherited from its parent) and
// appending the path of each folder it created, outermost first, to `created`.
BOOL EnsureDirectories(const wchar_t* path,
                       const SECURITY_ATTRIBUTES* rights,
                       std::vector<std::wstring>* created);
