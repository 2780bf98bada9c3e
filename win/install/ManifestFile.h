// Reading an installation's "uninstall.ini" back, as the uninstaller does and as the next
// installer does before it sets an installation aside: the profile calls of the system's
// ANSI code page, each list read whole.
#pragma once

#include <string>

#include "core/install/ManifestText.h"

// The lists of the manifest at `manifest` (a path in the ANSI code page), each up to its
// first number missing; an empty value ends the file lists and is passed over in the
// folder list. Empty lists when the file is not there.
ManifestLists ReadManifest(const std::string& manifest);
