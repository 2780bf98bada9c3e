// Folder creation: every missing folder along a path.
#pragma once

#include <windows.h>

// Creates every missing folder along `path` (at most 259 UTF-16 code units) below its root
// ("D:\" or "\\server\share\"). A path that ends with '\' gets itself and its ancestors;
// a file path gets its containing folders. Returns true when the path already names a
// folder or every folder could be made; false for a root that is not there, at the first
// folder that cannot be made (those made before stay), or for a longer path.
bool EnsureDirectories(const wchar_t* path);
