// How the steps of an installation (installer/flow) reach the one who runs the installer:
// the wizard's message boxes and painted waits, or silent mode's log. Each step that can
// refuse returns a Stop, having told why.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "core/setup/SetupOptions.h"
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
  // Whether a window must keep answering while a long step runs: the step then runs on a
  // thread of its own while Wait keeps the window answering, else on the caller's.
  virtual bool HasWindow() const { return true; }
};

// Why the installation stops at a step; empty when it goes on.
using Stop = std::optional<SetupExit>;

// The application name: the program's file name without its extension.
std::wstring ApplicationName();
