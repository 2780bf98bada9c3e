// The install folder: the one the target page suggests (with the free space of every
// drive), the chosen one checked against the folder rules and the package, then made and
// held - and let go again, with the folders made for it, when the installation stops.
#pragma once

#include <string>
#include <vector>

#include "installer/flow/Interaction.h"
#include "installer/flow/SpaceCheck.h"
#include "win/base/UniqueHandle.h"

struct FolderSuggestion {
  std::wstring folder;     // "X:\brimvale" on the first drive that is not the system's
  std::wstring freeSpace;  // "可用空间： C:12.3G D:45.6G "
};
FolderSuggestion SuggestTargetFolder();

// An install folder accepted, made and held.
struct PreparedFolder {
  std::wstring folder;                // absolute, ending with '\'
  std::vector<std::wstring> created;  // the folders made for it, outermost first
  bool fresh = false;                 // the folder itself was made for this installation
  // Every folder on the way, held open until the installation ends, so none can be renamed
  // or replaced.
  std::vector<UniqueHandle> held;
};

// Takes `typed` (the page's text or /D=) as the install folder, changing nothing: trimmed,
// made absolute (`*folder`, ending with '\'), checked against the package's longest path,
// for '%' and for letters the system's code page cannot spell (the uninstaller is a
// single-byte program). Tells why a folder is refused.
Stop CheckFolderRules(const std::wstring& typed,
                      const PackageFacts& package,
                      Interaction& interaction,
                      std::wstring* folder);

// The folder's volume's free space compared with what the package takes (a shortfall is a
// question), then the folder opened with OpenInstallFolder: no link on the way, made with
// the program folder's rights where it is missing, protected where it was there before, and
// held. Tells why a folder is refused; the folders made for it before a refusal are removed.
Stop MakeInstallFolder(const std::wstring& folder,
                       const PackageFacts& package,
                       Interaction& interaction,
                       PreparedFolder* prepared);

// Lets go of `prepared` and removes the folders made for it while they are empty.
void ReleaseInstallFolder(PreparedFolder& prepared);
