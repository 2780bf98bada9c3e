// Removing what an installation wrote, by handle: the uninstaller's removal and the
// installer's own removal of a cancelled or failed run both go through here. The install
// folder may be writable by users while this runs elevated, so each entry is opened
// without following a link, proved through its handle to lie inside the install folder,
// and deleted through that handle; nothing outside the folder is ever deleted.
#pragma once

#include <windows.h>

#include <string>

#include "win/base/Paths.h"
#include "win/base/UniqueHandle.h"

enum class Removal {
  kGone,
  kAbsent,  // nothing there: no failure
  kKept,    // a folder that still holds something of someone else's
  kFailed,  // in use, a link, a folder where a file was, or outside the folder
};

// Marks the open file or folder `handle` (opened with DELETE access) for deletion when its
// last handle closes.
bool DeleteThrough(HANDLE handle);

// Moves the open file `handle` (opened with DELETE access) to `name` in the open folder
// `folder` - resolved through that handle, never through a path - and never over anything.
bool RenameThrough(HANDLE handle, HANDLE folder, const std::wstring& name);

// Whether two paths name the same place: equal but for letter case, as Windows compares
// names.
bool SamePath(const std::wstring& a, const std::wstring& b);

// Whether two open handles are the same file or folder on disk.
bool SameFile(HANDLE a, HANDLE b);

// Whether the open file or folder `handle` lies where the absolute `path` says, with no link
// or junction on the way: its final path must be its volume root's followed by the rest of
// `path` in long names. (A link anywhere on the way resolves elsewhere.)
bool AtItsOwnPlace(HANDLE handle, const std::wstring& path);

// The install folder, held open for a removal (without delete sharing, so it cannot be
// renamed or replaced meanwhile), and where it really is.
class RemovalFolder {
 public:
  // `folder` ends with '\'. A folder that cannot be opened removes nothing.
  explicit RemovalFolder(const std::wstring& folder);

  // Deletes the file `path` (below the folder) through a handle that was opened without
  // following a link and proved to lie inside the folder.
  Removal RemoveFile(const std::wstring& path) const;

  // Removes the folder `path` (below the folder) when nothing but "Thumbs.db" files (any
  // letter case) is left in it, deleting those; a sub-folder or any other file keeps it.
  Removal RemoveFolderIfEmpty(const std::wstring& path) const;
  // Removes the folder `path` (below the folder) with every file in it; a sub-folder keeps
  // it, and so does a file that goes at the next restart (RemoveAtRestart's, in use).
  Removal RemoveFolderAndFiles(const std::wstring& path) const;

  // Puts the file kept at `kept` back at `path` (both below the folder): the kept file is
  // opened without following a link and proved inside the folder, `path`'s folder too, and
  // nothing may be at `path`. kGone when it moved back, kAbsent when nothing was kept there,
  // kFailed when it cannot be put back (something is in its place, its folder is gone).
  Removal Restore(const std::wstring& kept, const std::wstring& path) const;

  // A file below the folder that cannot be deleted now (a module a program loaded) may still
  // be renamed: moves `path` to a free name beside `place` - "<place>.<process id>.del",
  // else with ".<k>" before ".del" - and has the system delete it at the next restart. No
  // later run ever writes that name, so the restart deletes only this file. The name it got,
  // or empty (nothing changed) when it cannot.
  std::wstring RemoveAtRestart(const std::wstring& path, const std::wstring& place) const;

  // Replaces the content of the existing file `path` (below the folder) with `bytes`,
  // through a handle opened without following a link and proved to be a plain file with no
  // other name, inside the folder. False when it cannot; the file may then hold part of
  // `bytes` followed by what it held before.
  bool Rewrite(const std::wstring& path, const std::string& bytes) const;

  // Whether the folder `path` names is this very folder on disk, whatever its spelling
  // (another name of it, a short name, another letter case); false when it cannot be opened.
  bool IsFolder(const std::wstring& path) const;

  // Whether nobody but an administrator can have changed the folder or its list of files,
  // read from its descriptor now: what this program may load or run from it.
  bool OnlyAdministratorsMayChange() const;

 private:
  // Removes the folder `path` when it holds no sub-folder and no file but those it may
  // delete: "Thumbs.db" files, or with `anyFile` every file.
  Removal RemoveFolder(const std::wstring& path, bool anyFile) const;
  // True when the open `entry` lies below the folder, links resolved.
  bool Contains(HANDLE entry) const;

  UniqueHandle handle_;
  std::wstring final_;
};
