#include "installer/SilentInstall.h"

#include "installer/flow/FolderPreparation.h"
#include "installer/flow/Installation.h"
#include "installer/flow/Interaction.h"
#include "installer/flow/SpaceCheck.h"
#include "installer/flow/WorkerReport.h"
#include "win/base/Text.h"
#include "win/install/InstallWorker.h"

namespace {

class SilentInteraction : public Interaction {
 public:
  explicit SilentInteraction(SetupLog& log) : log_(log) {}
  bool Ask(Question question, const std::wstring& text) override {
    // A deployment goes ahead - an administrator who rolls back to an older version does so
    // on purpose - but never fills a disk.
    const bool yes = question == Question::kEndClient || question == Question::kRemovePrevious ||
                     question == Question::kDowngrade;
    log_.Line(L"asked: " + text + (yes ? L" - yes" : L" - no"));
    return yes;
  }
  void Tell(const std::wstring& text) override { log_.Line(L"told: " + text); }
  DWORD Wait(HANDLE object, DWORD milliseconds, const wchar_t*) override {
    return WaitForSingleObject(object, milliseconds);
  }
  SetupLog& Log() override { return log_; }
  // No thread of its own for a step: under Wine each costs about 1 MiB of private memory,
  // and a thread's stack stays until another thread ends.
  bool HasWindow() const override { return false; }

 private:
  SetupLog& log_;
};

}  // namespace

SetupExit InstallSilently(const SetupOptions& options, SetupLog& log) {
  SilentInteraction silent(log);
  Installation installation(silent);
  const bool mayClose = !options.noCloseApplications;
  if (const Stop stop = installation.Find(mayClose))
    return *stop;
  // /D= first, then the earlier installation's folder, then the suggestion.
  const std::wstring typed = !options.folder.empty()                 ? Wide(options.folder)
                             : !installation.EarlierFolder().empty() ? installation.EarlierFolder()
                                                                     : SuggestTargetFolder().folder;
  if (const Stop stop = installation.Prepare(typed, ReadPackageFacts(GetModuleHandleW(nullptr))))
    return *stop;
  if (const Stop stop = installation.Begin(mayClose)) {
    installation.Abandon();
    return *stop;
  }
  InstallWorker worker;
  installation.Configure(worker);
  worker.log_ = &log;
  worker.RunHere();
  const InstallOutcome& outcome = worker.Outcome();
  if (outcome.finalReport != INSTALL_COMPLETE) {
    silent.Tell(FailureMessage(outcome.finalReport, Wide(outcome.finalPath)));
    installation.Undo(outcome);
    return ExitForReport(outcome.finalReport);
  }
  const SetupExit committed = installation.Commit(outcome);
  if (committed == SetupExit::kInstalled || committed == SetupExit::kRestartRequired)
    installation.Finish({options.startup, !options.noRun, !options.noShortcuts});
  return committed;
}
