// An upgrade over an earlier installation, which stays whole until the new one is. When the
// new installation goes into the earlier one's folder, the earlier files - those its
// manifest lists, then "uninstall.exe" and "uninstall.ini" - are moved aside into
// "uninstall.old" in that folder (a rename on the same volume) before the new files are
// written; a failed or cancelled run is removed and the earlier files moved back (the
// component registered again when the run unregistered it); once the new installation is
// complete and stays they are deleted, and one still in use at the next restart. The new
// uninstall entry names the same folder and uninstaller either way. In another folder, the earlier
// installation's own uninstaller removes it first, as it always did.
//
// A file of the earlier installation that its user changed is not set aside: it stays, the
// new version is written beside it as "<path>.new", and the new manifest lists it too.
//
// "uninstall.old\journal" is written before the first move and names each moved file by
// its place in the list ("uninstall.old\<n>" holds the n-th), one UTF-8 line each, then
// "*begun" once every file is aside and the new run may write. Deleting the journal is the
// upgrade's commit. So the next installer finds an upgrade that did not end (a killed
// installer) from what is on disk and ends it: with the journal, the new run's files are
// removed by its manifest (when it began) and the earlier files moved back; without it, what
// is aside is deleted.
#pragma once

#include <string>
#include <vector>

#include "installer/flow/Finishing.h"
#include "installer/flow/PreInstallChecks.h"

struct EarlierInstallation {
  bool found = false;            // the uninstall entry was there
  std::wstring folder;           // its InstallLocation, ending with '\', when the rules take it
  std::wstring uninstallString;  // the entry's, for an earlier installation that is not set aside
  std::wstring createdFolder;    // the entry's CreatedFolder: the new entry carries it on
  // Set aside, until CommitUpgrade or PutEarlierBack.
  bool aside = false;
  bool committed = false;             // CommitUpgrade deleted it: the new installation replaced it
  std::vector<std::u16string> moved;  // "uninstall.old\<n>" holds moved[n]
  std::vector<std::u16string> kept;   // its KEPT list, which the new manifest carries on
  std::vector<std::u16string> folders;  // its folders, removed after the upgrade when empty
  bool component = false;               // its files include the component
  // Its files that their user changed since it wrote them (their size or last-write time is
  // not what its entry's FileStamps recorded): they stay where they are, and the new run
  // writes the package's beside them.
  std::vector<std::u16string> changed;
};

// The folder of the earlier installation, as its entry names it (ending with '\\'), when the
// folder rules take it; else empty.
std::wstring EarlierInstallLocation();

// The earlier installation whose entry is there: an upgrade into its folder that did not end
// is ended first; then the question is asked, and `earlier` describes what is there (found
// false when there is no entry). One that cannot be set aside (its entry names no folder
// with a manifest) is removed by its uninstaller at once, and found false.
Stop FindEarlierInstallation(Interaction& interaction, EarlierInstallation* earlier);

// Just before the run into `target` (ending with '\'): sets the earlier installation aside
// when it is in that folder, else runs its uninstaller. Stops, with the earlier installation
// as it was, when a file of it cannot be moved (in use), and when its uninstaller leaves some
// of it.
Stop SetEarlierAside(EarlierInstallation& earlier,
                     const std::wstring& target,
                     Interaction& interaction);

// Moves the earlier files back to their places once the run's own are gone, and registers the
// component again when `reregister` (the run unregistered its class). The journal goes when
// every file is back; otherwise it stays for the next installer.
void PutEarlierBack(EarlierInstallation& earlier, bool reregister, Interaction& interaction);

// After the new uninstall entry is written: records in it each file's size and last-write time, in
// the manifest's order (a file the user changed and kept gets none that matches).
void RecordFileStamps(const std::wstring& folder, const InstallOutcome& outcome, SetupLog& log);

// Once the new installation is complete and stays (the wizard's finish page, or a silent
// run's end): the commit. The journal goes, then what was set aside and the earlier folders
// that are empty now; a file still in use is deleted at the next restart
// (MOVEFILE_DELAY_UNTIL_REBOOT). True when a restart is needed for that.
bool CommitUpgrade(EarlierInstallation& earlier, SetupLog& log);

// After the finishing steps of an upgrade: the earlier shortcuts that `choices` did not make
// again go, as after a removal.
void DeleteEarlierShortcuts(const EarlierInstallation& earlier,
                            const FinishChoices& choices,
                            SetupLog& log);
