// A small real Windows program that integrity-check tests carry as resource "FILE" 139
// where an installer carries its uninstaller.
int wmain() {
  return 0;
}
