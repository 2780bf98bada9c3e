// A program built exactly as the installer is (resources, string 32, stamp) whose whole job
// is the integrity check: exit status 0 when it passes, 1 when it fails.
#include "integrity/IntegrityCheck.h"

int wmain() {
  return VerifyInstallerIntegrity() ? 0 : 1;
}
