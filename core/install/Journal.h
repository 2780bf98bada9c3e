// The journal of an installation's transaction (core/install/Transaction), as text: what
// the transaction writes before each step, and what the next installer - or the
// uninstaller, to learn which folder an unfinished upgrade went to - reads back.
//
// The journal, "uninstall.old\journal" in the earlier installation's folder: UTF-8 lines,
// each ended by CR LF; a line without its CR LF was cut short by a kill and is not there.
// Tags begin with '*', which no package path can; a bare line is a moved file.
//
//   *journal 2                     written by this installer (an older one wrote only the
//                                  moved files and *begun, into its own folder)
//   *target D:\g\new\              the new installation's folder
//   *made D:\g\new\                the outermost folder made for it, if any
//   *earlier-made D:\g\            the earlier entry's CreatedFolder, if any
//   *component                     the earlier files hold the component
//   *changed config.ini            an earlier file its user changed: it stays where it is
//   *carried 2                     the earlier KEPT lines the new manifest begins with
//   *kept 1 notes.txt              an earlier kept file: KEPT1, in uninstall.kept\1
//   *folder Skin                   the earlier folders, each before those that contain it
//   Skin\a.png                     moved: "uninstall.old\<n>" holds the n-th moved file
//   *begun                         every file is aside: the new run may write
//   *removed                       (an undo) the new run is gone: only moving back is left
//   *value text DisplayName=...    the new uninstall entry, value by value...
//   *committed                     ...and the commit: from here on the new installation stays
//
// Where the journal is, the entry's value "UpgradeJournal" says (TransactionHost::
// MarkJournal), so the next installer finds it whatever folder the entry names by then.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/install/ManifestText.h"
#include "core/install/UninstallEntry.h"

inline constexpr auto kAsideFolderUnits = product::ToUtf16(product::kAsideFolder);
inline constexpr std::u16string_view kAsideFolderName = product::View(kAsideFolderUnits);

struct Journal {
  std::u16string target;       // empty in an older installer's journal: the journal's folder
  std::u16string made;         // the outermost folder made for the target, or empty
  std::u16string earlierMade;  // the earlier entry's CreatedFolder, or empty
  bool described = false;      // "*journal 2": the lines up to the moved files are there
  bool component = false;
  std::vector<std::u16string> changed;
  std::size_t carried = 0;
  std::vector<KeptFile> kept;
  std::vector<std::u16string> folders;
  std::vector<std::u16string> moved;
  bool begun = false;
  bool removed = false;
  std::vector<EntryValue> entry;
  bool committed = false;
};

// The journal's first part, up to and with the moved files; the lines appended after it:
// *begun, *removed, and the commit's.
std::string JournalText(const Journal& journal);
inline constexpr std::string_view kJournalBegun = "*begun\r\n";
inline constexpr std::string_view kJournalRemoved = "*removed\r\n";
std::string CommitText(const std::vector<EntryValue>& entry);
// False for a journal that cannot be trusted to say what happened: a line that is no UTF-8,
// a tag this installer does not know (a newer one's), a path that breaks the package's rules.
bool ParseJournal(std::string_view text, Journal* journal);
