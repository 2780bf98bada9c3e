// An installation as one transaction over the PC. The earlier installation, in whatever
// folder, is set aside - its files moved into "uninstall.old" in its own folder - before
// anything of the new one is written; it comes back whole when the new run fails, is
// cancelled or killed, and is removed only once the new installation is complete and its
// uninstall entry recorded (the commit). The decisions live here, over TransactionHost,
// which the Win32 layer binds to the files (by handle), the registry and the component's
// registration, so a test can fail or cut off every step.
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

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/install/ManifestText.h"

inline constexpr auto kAsideFolderUnits = product::ToUtf16(product::kAsideFolder);
inline constexpr std::u16string_view kAsideFolderName = product::View(kAsideFolderUnits);

// One value of the uninstall entry as the commit writes it; kAbsent deletes the value.
struct EntryValue {
  enum class Kind { kText, kNumber, kBytes, kAbsent };
  std::u16string name;
  Kind kind = Kind::kText;
  std::u16string text;
  std::uint32_t number = 0;
  std::vector<std::uint8_t> bytes;
  bool operator==(const EntryValue&) const = default;

  static EntryValue Text(std::u16string name, std::u16string text) {
    EntryValue value;
    value.name = std::move(name);
    value.text = std::move(text);
    return value;
  }
  static EntryValue Number(std::u16string name, std::uint32_t number) {
    EntryValue value = Absent(std::move(name));
    value.kind = Kind::kNumber;
    value.number = number;
    return value;
  }
  static EntryValue Bytes(std::u16string name, std::vector<std::uint8_t> bytes) {
    EntryValue value = Absent(std::move(name));
    value.kind = Kind::kBytes;
    value.bytes = std::move(bytes);
    return value;
  }
  static EntryValue Absent(std::u16string name) {
    EntryValue value;
    value.name = std::move(name);
    value.kind = Kind::kAbsent;
    return value;
  }
};

// A file's size and last-write time, as the entry's value FileStamps records each listed
// file's: 16 bytes a file, both little-endian, in the manifest's order.
struct FileStamp {
  std::uint64_t size = 0;
  std::uint64_t written = 0;
};
std::vector<std::uint8_t> EncodeFileStamps(const std::vector<FileStamp>& stamps);

// The files of `files` (a manifest's list) whose stamp now (`now`, by file; none for a file
// that is not there) differs from the one `recorded` holds: the files their user changed.
// None unless `recorded` holds exactly one stamp a file. The component and the channel file
// are the installation's own and never count.
std::vector<std::u16string> ChangedFiles(const std::vector<std::u16string>& files,
                                         const std::vector<std::uint8_t>& recorded,
                                         const std::vector<std::optional<FileStamp>>& now);

// Compares two versions ("1.2", "1.2.3.4") part by part as numbers, a missing part being 0:
// negative, 0 or positive; none when either is no version.
std::optional<int> CompareVersions(std::u16string_view a, std::u16string_view b);

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

// The journal's first part, up to and with the moved files; the commit's lines.
std::string JournalText(const Journal& journal);
std::string CommitText(const std::vector<EntryValue>& entry);
// False for a journal that cannot be trusted to say what happened: a line that is no UTF-8,
// a tag this installer does not know (a newer one's), a path that breaks the package's rules.
bool ParseJournal(std::string_view text, Journal* journal);

// What a step did to a file or folder.
enum class Step {
  kDone,
  kAbsent,  // nothing there: no failure
  kKept,    // a folder that still holds something
  kFailed,  // in use, in the way, a link, or not a place inside the installation's folders
};

// The PC as the transaction changes it. Paths are absolute; folders end with '\'.
class TransactionHost {
 public:
  virtual ~TransactionHost() = default;
  // The journal of `folder` (the earlier installation's): made new, with its aside folder
  // unless that holds only files that go at the next restart, written to disk before it
  // returns; appended to the same way; read (kAbsent: there is
  // none; kFailed: it is there but cannot be read); deleted, with the aside folder once that
  // is empty.
  virtual bool MakeJournal(const std::u16string& folder, const std::string& text) = 0;
  virtual bool AppendJournal(const std::u16string& folder, const std::string& text) = 0;
  virtual Step ReadJournal(const std::u16string& folder, std::string* text) = 0;
  virtual bool RemoveJournal(const std::u16string& folder) = 0;
  // The aside folder of `folder` with every file in it (what an older installer's commit
  // left, or an aside folder without a journal); kKept when files that go at the next
  // restart (RemoveAtRestart's) keep it.
  virtual Step RemoveAside(const std::u16string& folder) = 0;
  // Names `folder` in the uninstall entry as the place of a journal; empty takes it away.
  virtual bool MarkJournal(const std::u16string& folder) = 0;
  // Moves a file within an installation's folder, never over anything.
  virtual Step Move(const std::u16string& from, const std::u16string& to) = 0;
  virtual Step Remove(const std::u16string& path) = 0;
  // Removes a folder that is empty but for thumbnail caches.
  virtual Step RemoveFolder(const std::u16string& path) = 0;
  // A file that cannot be removed now (a module a program loaded): moved beside `place`
  // under a name no run ever uses for anything else ("<place>.<process>.del"), and deleted at
  // the next restart; a folder, deleted then once it is empty.
  virtual bool RemoveAtRestart(const std::u16string& path, const std::u16string& place) = 0;
  virtual bool RemoveFolderAtRestart(const std::u16string& path) = 0;
  // The lists of the manifest `path` (empty when there is none); false when it is there
  // but cannot be read.
  virtual bool ReadManifest(const std::u16string& path, ManifestLists* lists) = 0;
  // Writes the entry's values (kAbsent ones deleted), the others left as they are.
  virtual bool WriteEntry(const std::vector<EntryValue>& entry) = 0;
  // Whether a registered class has its server in `folder`; registers the component there;
  // removes every class served from `folder` - with `throughComponent` first by the
  // component's own unregistration, which only a component this installation wrote runs.
  virtual bool Served(const std::u16string& folder) = 0;
  virtual bool Register(const std::u16string& folder) = 0;
  virtual bool Unregister(const std::u16string& folder, bool throughComponent) = 0;
  // Deletes the product's shortcuts; false when one stays.
  virtual bool RemoveShortcuts() = 0;
  virtual void Note(const std::u16string& line) = 0;
};

// The earlier installation as a removal would take it: its folder's manifest (its KEPT list
// as written, and planned with PlanRemoval), the files its user changed, and its entry's
// CreatedFolder.
struct EarlierInstallation {
  std::u16string folder;
  std::vector<std::u16string> keptList;
  RemovalPlan plan;
  std::vector<std::u16string> changed;
  std::u16string made;
};

// What a new run wrote into its folder: its outcome, or after a kill its manifest.
struct RunWritten {
  std::vector<std::u16string> files;
  std::vector<KeptFile> kept;  // its own, each put back once its file is gone
  bool madeUninstaller = false;
  bool madeManifest = false;
};

// How Recover ended a transaction.
enum class Recovery {
  kNone,           // there was nothing to end
  kRolledBack,     // the earlier installation is back
  kRolledForward,  // the new installation stays
  kLeft,           // something is in use: the journal stays for the next installer
  kUnreadable,     // the journal cannot be trusted: nothing was done
};

class Transaction {
 public:
  // An installation into `target`, for which `made` (or none) is the outermost folder made.
  Transaction(TransactionHost& host, std::u16string target, std::u16string made);

  // Sets `earlier` aside: the journal first, then every file of it that its user did not
  // change - "uninstall.exe" and "uninstall.ini" last - moved into its aside folder, then
  // *begun. False, with everything as it was, when the journal cannot be written or a file
  // cannot be moved (held by a program).
  bool SetAside(const EarlierInstallation& earlier);
  bool Aside() const { return aside_; }
  // The earlier installation is in the target folder: the new run carries its KEPT list on
  // and writes beside the files its user changed.
  bool InPlace() const { return aside_ && earlier_ == target_; }
  const Journal& State() const { return journal_; }

  // Undoes the run `run` (`live`: it may have written and registered): its classes removed
  // when it wrote the component, its files, its kept files put back, the manifest last; then
  // the earlier installation moved back and its component registered again where no class
  // is served from its folder; then the run's folders, and the target and those up to `made`,
  // when empty. How many entries stay: then the journal stays too, for the next installer.
  // Folders it may remove must not be held meanwhile.
  unsigned RollBack(const RunWritten& run, bool live);

  struct Committed {
    bool committed = false;  // false: nothing changed, and the run is to be undone
    bool entryWritten = false;
    bool restart = false;  // an earlier file in use goes at the next restart
  };
  // The commit: the entry's values into the journal with *committed, then into the entry,
  // then the earlier installation removed - in another folder with its kept files put back,
  // its classes and shortcuts, its folders and those its entry says it made.
  Committed Commit(const std::vector<EntryValue>& entry);

 private:
  friend Recovery Recover(TransactionHost& host, const std::u16string& folder);
  std::u16string AsidePath(std::size_t n) const;
  bool RollForward();  // true when a restart completes it
  void RemoveMadeFolders();
  void RemoveEarlierFolders(bool restart);
  void CloseJournal();

  TransactionHost& host_;
  std::u16string target_;
  std::u16string made_;
  std::u16string earlier_;
  Journal journal_;
  bool aside_ = false;
};

// Ends the transaction whose journal lies in `folder` (the earlier installation's) as the
// journal says: committed, forward; otherwise back, the new run removed by its manifest.
Recovery Recover(TransactionHost& host, const std::u16string& folder);
