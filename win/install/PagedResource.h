// The installer's resources as the run reads them: from the loaded image, never from the
// file again.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "core/install/InstallRun.h"

// Loads resource "FILE" `id` of `module`: its bytes and size, or null.
const std::uint8_t* LoadFileResource(HMODULE module, WORD id, std::uint32_t* size);

// The resource `resource` (`size` bytes) of a loaded module, read from the module's memory
// piece by piece, its pages leaving the working set as they are read: a package of any
// size takes no more memory. The installer's own image is what its self-check compared
// with its file (win/integrity/IntegrityCheck.h), and nobody can change its file while it
// runs. Null for an empty resource.
std::unique_ptr<StreamFile> PagedResource(const std::uint8_t* resource, std::uint32_t size);
