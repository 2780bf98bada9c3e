// The installer's command line, for unattended deployment, and the exit codes that tell a
// deployment tool what happened. Without arguments the installer is the wizard.
//
//   /S             no window at all: messages go to the log, the result to the exit code
//   /D=<folder>    the install folder: everything after "/D=" to the end of the line,
//                  blanks included, so it comes last; quotes around it are taken off
//   /LOG=<file>    a log of every step, UTF-8, written as the installation goes
//   /NORUN         the client is not started at the end
//   /NOSHORTCUTS   no desktop and program-menu shortcuts
//   /STARTUP       a shortcut in the user's Startup folder
//   /NOCLOSEAPPLICATIONS  programs that use the installation's files are not closed: the
//                  installation stops before it changes anything (kApplicationsOpen)
//   /VERYSILENT    what other installers call their quiet mode: /S
//   /SILENT, /PASSIVE  progress only: the wizard's installing page, asking only whether to
//                  quit when cancelled (the other answers are those /S gives); a failure,
//                  and a restart that completes the installation, are shown in a box
//   /SUPPRESSMSGBOXES  progress only shows no box: a cancel quits at once, and failures go
//                  to the log and the exit code alone (with /S there is no box anyway)
//   /NORESTART     accepted: the installer never restarts the machine
//   /?             the usage text
//
// Switches are case-insensitive; the line is split by Windows' rules (CommandLineToArgvW's),
// so "/LOG=C:\My Logs\setup.log" in quotes is one switch.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The installer's exit code, the same with and without a window. The outcomes that
// management tools act on have Windows Installer's values: 0, 3010 (restart required), 1602
// (cancelled), 1618 (another installation is running, which the tools retry) and 1603 (a
// fatal error no other code names); the others are the installer's own.
enum class SetupExit : int {
  kInstalled = 0,
  kUsage = 2,                // an unknown or malformed switch, or /?
  kIntegrityFailed = 3,      // the installer's file is not the one that was built
  kFolderRefused = 5,        // malformed, too long, with '%', or cannot be made
  kNotEnoughSpace = 6,       // the volume has less free space than the files take
  kWriteFailed = 7,          // a file could not be written (locked, disk full, no rights)
  kRegistrationFailed = 8,   // the component's registration failed or did not end
  kPackageUnreadable = 9,    // the installer's package is damaged
  kClientNotEnded = 10,      // the running client could not be ended
  kSystemUnsupported = 11,   // DLL loading cannot be kept to the system folder
  kPreviousNotRemoved = 12,  // the earlier installation's uninstaller left part of it
  kApplicationsOpen = 13,    // programs use the installation and /NOCLOSEAPPLICATIONS was given
  kCancelled = 1602,         // the user quit the wizard
  kFatal = 1603,             // a failure no other code names
  kAlreadyRunning = 1618,    // another installer runs
  kRestartRequired = 3010,   // installed; files in use go at the next restart
};

// Every exit code, in the order above.
inline constexpr SetupExit kEveryExit[] = {
    SetupExit::kInstalled,          SetupExit::kUsage,
    SetupExit::kIntegrityFailed,    SetupExit::kFolderRefused,
    SetupExit::kNotEnoughSpace,     SetupExit::kWriteFailed,
    SetupExit::kRegistrationFailed, SetupExit::kPackageUnreadable,
    SetupExit::kClientNotEnded,     SetupExit::kSystemUnsupported,
    SetupExit::kPreviousNotRemoved, SetupExit::kApplicationsOpen,
    SetupExit::kCancelled,          SetupExit::kFatal,
    SetupExit::kAlreadyRunning,     SetupExit::kRestartRequired};

// What the exit code means, in the words of the log.
std::u16string_view ExitMeaning(SetupExit code);

enum class SwitchError {
  kNone,
  kUnknown,    // a switch the installer does not know (also any plain argument)
  kBadFolder,  // /D= empty, relative, or with a character no folder name may hold
  kBadLog,     // /LOG= empty
};

struct SetupOptions {
  bool silent = false;
  bool passive = false;  // progress only
  bool noBoxes = false;  // /SUPPRESSMSGBOXES
  bool help = false;
  bool noRun = false;
  bool noShortcuts = false;
  bool startup = false;
  bool noCloseApplications = false;
  std::u16string folder;  // /D=, empty when not given
  std::u16string log;     // /LOG=, empty when not given
  SwitchError error = SwitchError::kNone;
  std::u16string offending;  // the refused argument
};

// One argument of a command line, and where its raw text begins in the line.
struct CommandArgument {
  std::u16string text;
  std::size_t start = 0;
};

// Splits `line` by CommandLineToArgvW's rules: the program name (up to the next quote when it
// begins with one, else to the first blank) and the arguments, in which 2n backslashes and a
// quote give n backslashes and open or close a quoted part, 2n+1 and a quote give n and a
// literal quote, and a quote doubled inside a quoted part gives one.
std::vector<CommandArgument> SplitCommandLine(std::u16string_view line);

// Reads the switches of the installer's whole command line (its program name first).
SetupOptions ParseSetupOptions(std::u16string_view line);

// Whether `folder` names a folder absolutely ("X:\..." or "\\server\share\...") with no
// character that Windows forbids in a name.
bool IsAbsoluteFolder(std::u16string_view folder);
