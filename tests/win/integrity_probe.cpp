// A program built and stamped exactly as the installer is (resources, string 32, stamp)
// whose whole job is the integrity check: exit status 0 when it passes, 1 when it fails.
//
//   setup_probe_77.exe                     checks itself
//   setup_probe_77.exe SUBSTITUTE          first renames its own file, as another program
//                                          of its user may while it starts, and copies
//                                          SUBSTITUTE to its path; then checks itself
#include "win/integrity/IntegrityCheck.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 2) {
    const std::wstring self = ModulePath();
    if (!MoveFileExW(self.c_str(), (self + L".started").c_str(), MOVEFILE_REPLACE_EXISTING) ||
        !CopyFileW(argv[1], self.c_str(), TRUE)) {
      return 2;
    }
  }
  UniqueHandle held;
  return VerifyInstallerIntegrity(&held) ? 0 : 1;
}
