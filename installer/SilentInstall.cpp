#include "installer/SilentInstall.h"

#include "core/product/Product.h"
#include "installer/flow/Finishing.h"
#include "installer/flow/PreInstallChecks.h"
#include "installer/flow/Upgrade.h"
#include "win/base/Text.h"
#include "win/install/InstallWorker.h"

namespace {

class SilentInteraction : public Interaction {
 public:
  explicit SilentInteraction(SetupLog& log) : log_(log) {}
  bool Ask(Question question, const std::wstring& text) override {
    const bool yes = question == Question::kEndClient || question == Question::kRemovePrevious;
    log_.Line(L"asked: " + text + (yes ? L" - yes" : L" - no"));
    return yes;
  }
  void Tell(const std::wstring& text) override { log_.Line(L"told: " + text); }
  DWORD Wait(HANDLE object, DWORD milliseconds, const wchar_t*) override {
    return WaitForSingleObject(object, milliseconds);
  }
  SetupLog& Log() override { return log_; }

 private:
  SetupLog& log_;
};

}  // namespace

SetupExit InstallSilently(const SetupOptions& options, SetupLog& log) {
  SilentInteraction silent(log);
  if (const Stop stop = EndRunningClient(silent, !options.noCloseApplications))
    return *stop;
  EarlierInstallation earlier;
  if (const Stop stop = FindEarlierInstallation(silent, &earlier))
    return *stop;
  // /D= first, then the earlier installation's folder, then the suggestion.
  const std::wstring typed = !options.folder.empty()   ? Wide(options.folder)
                             : !earlier.folder.empty() ? earlier.folder
                                                       : SuggestTargetFolder().folder;
  PreparedFolder prepared;
  const PackageFacts package = ReadPackageFacts(GetModuleHandleW(nullptr));
  if (const Stop stop = PrepareInstallFolder(typed, package, silent, &prepared))
    return *stop;
  if (const Stop stop = SetEarlierAside(earlier, prepared.folder, silent))
    return *stop;

  InstallWorker worker;
  lstrcpynW(worker.m_installFolder, prepared.folder.c_str(), kPathBlockUnits);
  worker.m_freshFolder = prepared.fresh;
  worker.m_log = &log;
  if (package.summarized)
    worker.m_summary = package.check;
  if (earlier.aside) {
    worker.m_carriedKept = earlier.kept;
    worker.m_userChanged = earlier.changed;
  }
  worker.Resume();
  WaitForSingleObject(worker.Thread(), INFINITE);
  const InstallOutcome& outcome = worker.Outcome();
  if (outcome.finalReport != INSTALL_COMPLETE) {
    silent.Tell(FailureMessage(outcome.finalReport, Wide(outcome.finalPath)));
    RemovePartialInstallation(prepared, outcome, &earlier, silent);
    return ExitForReport(outcome.finalReport);
  }
  const bool restart = CommitUpgrade(earlier, log);
  const FinishChoices choices{options.startup, !options.noRun, !options.noShortcuts};
  FinishInstallation(prepared.folder, choices, outcome.installedBytes, product::kVersion, log,
                     !prepared.created.empty() ? prepared.created.front()
                     : earlier.committed       ? earlier.createdFolder
                                               : std::wstring());
  RecordFileStamps(prepared.folder, outcome, log);
  DeleteEarlierShortcuts(earlier, choices, log);
  return restart ? SetupExit::kRestartRequired : SetupExit::kInstalled;
}
