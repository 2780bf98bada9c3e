// The log of the installer and the uninstaller (/LOG=): UTF-8 with a byte-order mark, one line per
// step, each with the local time to the millisecond. Every line goes straight to the file as it
// comes, so that a crash or a power cut keeps what happened up to it; the worker thread and the
// wizard's thread write to it alike. Without a file it writes nothing.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "win/base/UniqueHandle.h"

class SetupLog {
 public:
  // Creates `path` (absolute), or writes anew a plain file of that name, and writes the
  // byte-order mark. Never through a link: a link there (to a file or a folder), a file with
  // another name (a hard link) or a link on the way is refused with ERROR_ACCESS_DENIED.
  // False, with the Windows error code in `*error`, when it cannot.
  bool Open(const std::wstring& path, DWORD* error);
  // "2026-12-09 13:05:01.234  text\r\n"; a line break within `text` becomes a blank.
  void Line(std::wstring_view text);

 private:
  UniqueHandle file_;
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// Where a silent run of `program` ("setup", "uninstall") logs without /LOG=: "<temporary
// folder>\brimvale-<program>-<yyyymmdd>-<hhmmss>-<process id>.log". The temporary folder may
// be a user's, which SetupLog::Open allows for.
std::wstring DefaultLogPath(std::wstring_view program);

// "text (error 32)": a step that failed, with the Windows error that said why.
std::wstring WithError(std::wstring_view text, DWORD error);
