// The checks of an installation that the wizard and a silent installation share: the
// processes using the installation found and closed, a folder suggested with the free
// space of every drive, the chosen folder checked against the package, made and held. Each
// deals with the one who runs the installer through an Interaction: the wizard's message
// boxes, or silent mode's log. installer/flow/Installation puts them in their order.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/package/PackageSummary.h"
#include "core/package/PayloadPackage.h"
#include "core/setup/SetupOptions.h"
#include "win/base/UniqueHandle.h"
#include "win/install/SetupLog.h"

// The questions the steps ask.
enum class Question {
  kEndClient,       // "程序正在运行，点击确定将终止后继续"
  kRemovePrevious,  // "你已经安装过此程序，需卸载后继续"
  kDowngrade,       // DowngradeQuestion: a newer version is installed; No is the default
  kLowSpace,        // SpaceWarning
  kQuit,            // the wizard's "安装还没结束，是否要退出安装"
};

// How the steps reach the one who runs the installer. The wizard asks with message boxes it
// owns and waits with its window painted; a silent installation answers as a deployment
// wants (end the client, remove the earlier installation, never fill a disk) and waits
// plainly. Both log every question, answer and message.
class Interaction {
 public:
  virtual ~Interaction() = default;
  // True for Yes.
  virtual bool Ask(Question question, const std::wstring& text) = 0;
  // A message that the wizard shows with OK.
  virtual void Tell(const std::wstring& text) = 0;
  // Waits for `object` up to `milliseconds`, saying what it waits for (`status`, one line;
  // may be null); WAIT_OBJECT_0 or WAIT_TIMEOUT.
  virtual DWORD Wait(HANDLE object, DWORD milliseconds, const wchar_t* status) = 0;
  virtual SetupLog& Log() = 0;
};

// Why the installation stops at a step; empty when it goes on.
using Stop = std::optional<SetupExit>;

// The application name: the program's file name without its extension.
std::wstring ApplicationName();

// The processes, in any session, that use the installation in `folder` (ending with '\';
// empty: none): `programs` run a program of it or have a window of the client's class
// wherever their program lies; `modules` only loaded a module of it (its component), each
// with its program's file name.
struct ClientProcesses {
  std::vector<DWORD> programs;
  std::vector<std::pair<DWORD, std::wstring>> modules;
};
ClientProcesses FindClientProcesses(const std::wstring& folder);

// Asks `found.programs` to close (WM_CLOSE), waits a while, then ends those still there.
// Stops with kClientNotEnded, having told so, when one stays. Programs that only loaded a
// module are left running (the shell may be one): a file of theirs goes at the next restart.
Stop CloseClient(const ClientProcesses& found, Interaction& interaction);

struct FolderSuggestion {
  std::wstring folder;     // "X:\brimvale" on the first drive that is not the system's
  std::wstring freeSpace;  // "可用空间： C:12.3G D:45.6G "
};
FolderSuggestion SuggestTargetFolder();

// What the installer's package asks of a folder, from the payload's summary (resource "FILE"
// 138) without inflating anything. An installer without one (or with one that cannot be
// read) has no facts: its folder gets no space estimate, and the run checks the package
// whole before it writes.
struct PackageFacts {
  bool summarized = false;
  PackageSummary summary;
  // The summary as the run takes it: its records, data bytes and longest path (in UTF-16
  // code units).
  PackageCheck check;
};
PackageFacts ReadPackageFacts(HMODULE module);

struct SpaceEstimate {
  bool known = false;   // false when the volume could not be read
  std::wstring volume;  // "D:" or the volume's path
  std::uint64_t needed = 0;
  std::uint64_t available = 0;  // to this user, quotas included
};
// The space the package takes on the volume of `folder` (which need not exist yet) and the
// space there is.
SpaceEstimate EstimateSpace(const std::wstring& folder, const PackageFacts& package);

// "磁盘空间可能不足：D: 需要 32.8 MB，可用 12.1 MB。是否仍要继续安装？"
std::wstring SpaceWarning(const SpaceEstimate& estimate);

// An install folder accepted, made and held.
struct PreparedFolder {
  std::wstring folder;                // absolute, ending with '\'
  std::vector<std::wstring> created;  // the folders made for it, outermost first
  bool fresh = false;                 // the folder itself was made for this installation
  // Every folder on the way, held open until the installation ends, so none can be renamed
  // or replaced.
  std::vector<UniqueHandle> held;
};

// Takes `typed` (the page's text or /D=) as the install folder, changing nothing: trimmed,
// made absolute (`*folder`, ending with '\'), checked against the package's longest path,
// for '%' and for letters the system's code page cannot spell (the uninstaller is a
// single-byte program). Tells why a folder is refused.
Stop CheckFolderRules(const std::wstring& typed,
                      const PackageFacts& package,
                      Interaction& interaction,
                      std::wstring* folder);

// The folder's volume's free space compared with what the package takes (a shortfall is a
// question), then the folder opened with OpenInstallFolder: no link on the way, made with
// the program folder's rights where it is missing, protected where it was there before, and
// held. Tells why a folder is refused; the folders made for it before a refusal are removed.
Stop MakeInstallFolder(const std::wstring& folder,
                       const PackageFacts& package,
                       Interaction& interaction,
                       PreparedFolder* prepared);

// Lets go of `prepared` and removes the folders made for it while they are empty.
void ReleaseInstallFolder(PreparedFolder& prepared);

// The worker's final report `code` (with the path it named): what the wizard tells the user,
// and the exit code it ends with.
std::wstring FailureMessage(int code, const std::wstring& path);
SetupExit ExitForReport(int code);
