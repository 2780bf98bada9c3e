// The install worker: a thread object that runs one installation (RunInstallation), reports
// to the wizard by posting WM_INSTALL_PROGRESS, and logs each step.
//
//   WM_INSTALL_PROGRESS (WM_USER + 1000), always posted to the owner window:
//     wParam INSTALL_REGISTER_HUNG (-5)       lParam path block (the component)
//     wParam INSTALL_REGISTER_FAILED (-4)     lParam path block (the component)
//     wParam INSTALL_PREPARING (-3)           lParam 0
//     wParam INSTALL_PACKAGE_UNREADABLE (-2)  lParam 0
//     wParam INSTALL_CREATE_FAILED (-1)       lParam path block
//     wParam 0..100 (progress)                lParam path block (the file begun; sent
//                                             when the percentage changes, else at most
//                                             every 50 ms, so not for every file)
//     wParam INSTALL_COMPLETE (100)           lParam 0
//   A path block is a heap block of 260 wchar_t (allocated with new[]) holding the
//   NUL-terminated full path; the receiver frees it with FreePathBlock.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "core/install/InstallRun.h"
#include "win/install/Registration.h"
#include "win/install/SetupLog.h"
#include "win/install/WorkerThread.h"

inline constexpr UINT WM_INSTALL_PROGRESS = WM_USER + 1000;
inline constexpr std::size_t kPathBlockUnits = 260;

// Frees a path block received with WM_INSTALL_PROGRESS; null is fine.
void FreePathBlock(LPARAM block);

class InstallWorker : public WorkerThread {
 public:
  InstallWorker();
  ~InstallWorker() override;

  // Written by the owner before the first Resume. Without an owner window (a silent
  // installation) nothing is posted: the outcome tells how the run ended.
  wchar_t installFolder_[kPathBlockUnits] = {};
  HWND owner_ = nullptr;
  // Where each file written, the registration and their failures are logged, if anywhere.
  SetupLog* log_ = nullptr;
  // Where resources "FILE" 137, 138 and 139 come from: the program itself unless set.
  HMODULE resources_ = nullptr;
  // The install folder was made for this run, so nothing of anyone else's can be in it.
  bool freshFolder_ = false;
  // How long the component's registration may take.
  DWORD registrationLimitMs_ = kRegistrationTimeLimitMs;
  // The package as the payload's summary in the same resources tells it: the run then reads
  // the package once, checking it as it writes (InstallStreams::summary).
  std::optional<PackageCheck> summary_;
  // The KEPT list of an earlier installation in the folder, which the new manifest carries on.
  std::vector<std::u16string> carriedKept_;
  // Its files that the user changed: they stay, and the package's are written beside them.
  std::vector<std::u16string> userChanged_;

  // What the last run did (read after the thread ended).
  const InstallOutcome& Outcome() const { return outcome_; }

 protected:
  void Run() override;

 private:
  InstallOutcome outcome_;
};
