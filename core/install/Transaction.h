// An installation as one transaction over the PC. The earlier installation, in whatever
// folder, is set aside - its files moved into "uninstall.old" in its own folder - before
// anything of the new one is written; it comes back whole when the new run fails, is
// cancelled or killed, and is removed only once the new installation is complete and its
// uninstall entry recorded (the commit). The decisions live here, over TransactionHost,
// which the Win32 layer binds to the files (by handle), the registry and the component's
// registration, so a test can fail or cut off every step.
//
// Each step is written to the journal (core/install/Journal) before it is taken, so that the
// next installer ends a transaction that a kill cut short.
#pragma once

#include <string>
#include <vector>

#include "core/install/Journal.h"
#include "core/install/ManifestText.h"
#include "core/install/PathList.h"

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
  PathList files;
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
