// One installation from its first check to its last step, as the wizard and a silent
// installation both run it. Nothing on the PC changes before every check that can refuse
// has passed, and from then on the installation is one transaction (core/install/
// Transaction): the earlier installation, in whatever folder, is set aside, never removed,
// until the new one is complete and recorded.
//
//   Find     an installation a kill interrupted is ended first; then the processes that
//            use the earlier installation, the earlier installation itself and a
//            downgrade are found and asked about - nothing is closed or changed yet
//   Prepare  the folder's rules; the earlier folder held and proved the installation's own
//            (its manifest read) or found foreign; the space; then the folder made and held
//   Begin    the client closed, the earlier installation set aside
//   (the install worker writes, set up by Configure)
//   Commit   the new entry, with the record of what the user changed, then the earlier
//            installation removed - or Undo, which puts it back
//   Finish   the chosen shortcuts, the client started
//
// No program of the earlier installation is ever run. Its folder is acted on only when it
// is provably its own (only administrators can have changed it); otherwise nothing in it is
// run, moved or deleted, and only its entry is replaced. A step that stops returns why,
// having told so; after a stop in Prepare or Begin, Abandon lets the folder go.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/install/Transaction.h"
#include "installer/flow/Finishing.h"
#include "installer/flow/FolderPreparation.h"
#include "installer/flow/Interaction.h"
#include "installer/flow/SpaceCheck.h"
#include "installer/flow/Win32Transaction.h"
#include "win/install/HeldFolder.h"
#include "win/install/InstallWorker.h"
#include "win/install/ProgramVersion.h"

class Installation {
 public:
  explicit Installation(Interaction& interaction) : interaction_(interaction) {}
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Without `mayCloseApplications` (/NOCLOSEAPPLICATIONS) a program using the installation
  // stops it (kApplicationsOpen) instead of a question.
  Stop Find(bool mayCloseApplications);
  // The earlier installation's folder, ending with '\', when the folder rules take it: the
  // folder to propose.
  const std::wstring& EarlierFolder() const { return earlierFolder_; }

  Stop Prepare(const std::wstring& typed, const PackageFacts& package);
  // The accepted folder, ending with '\'.
  const std::wstring& Folder() const { return prepared_.folder; }

  Stop Begin(bool mayCloseApplications);
  void Configure(InstallWorker& worker) const;

  // After a complete run: kInstalled, kRestartRequired (an earlier file in use goes at the
  // next restart), or the failure's code with the installation undone.
  SetupExit Commit(const InstallOutcome& outcome);
  // After a failed or stopped run: what it wrote removed, the earlier installation back.
  void Undo(const InstallOutcome& outcome);
  void Abandon();

  void Finish(const FinishChoices& choices);

 private:
  Stop EndInterrupted();
  void ReadEarlierEntry();
  Stop ExamineEarlier();
  // Runs `work` on a thread of its own while the one who runs the installer is shown the
  // wait (Interaction::Wait, with `status` or none).
  void OnAThread(void (*work)(void*), void* context, const wchar_t* status);

  Interaction& interaction_;
  // The earlier installation's entry.
  bool found_ = false;
  std::wstring earlierFolder_;
  const ProgramVersion version_ = ThisProgramVersion();  // this installer's
  std::wstring earlierVersion_;
  std::wstring earlierMade_;
  std::vector<std::uint8_t> earlierStamps_;
  bool consent_ = false;  // the client may be closed
  // Its folder, held once it was proved its own, and what it holds.
  HeldFolder earlierHeld_;
  bool setAside_ = false;  // it can be set aside
  EarlierInstallation earlier_;
  PackageFacts package_;
  PreparedFolder prepared_;
  bool inPlace_ = false;
  std::unique_ptr<Win32Transaction> host_;
  std::unique_ptr<Transaction> transaction_;
};
