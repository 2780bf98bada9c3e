// The version this program states in its version resource: the release's, which the
// packager may set in a prebuilt stub, so the programs read it rather than compile it in.
#pragma once

#include <string>

struct ProgramVersion {
  std::wstring text;   // "ProductVersion", as the uninstall entry's DisplayVersion
  unsigned major = 0;  // the fixed product version's first two numbers
  unsigned minor = 0;
};

// This program's version resource, read anew at each call; the compiled-in version
// (Version.h) when the resource cannot be read, which a program that passed its own
// integrity check never meets.
ProgramVersion ThisProgramVersion();
