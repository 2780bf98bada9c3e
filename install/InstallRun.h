// One installation run, as the install worker thread performs it: start the manifest,
// write the uninstaller and the channel file, unpack the payload package into the install
// folder, register the component and finish the manifest. The decisions live here, over
// three small interfaces - the file operations, the report sink and the run control - so
// tests can run them on an in-memory disk and fail any operation. The Win32 worker binds
// them to the real file system, PostMessageW and its flags.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Reports (the wParam of WM_INSTALL_PROGRESS); 0-100 is a progress percentage.
inline constexpr int INSTALL_PREPARING = -3;
inline constexpr int INSTALL_PACKAGE_UNREADABLE = -2;
inline constexpr int INSTALL_CREATE_FAILED = -1;
inline constexpr int INSTALL_COMPLETE = 100;

inline constexpr std::u16string_view kManifestName = u"uninstall.ini";
inline constexpr std::u16string_view kUninstallerName = u"uninstall.exe";

class InstallFiles {
 public:
  class File {
   public:
    virtual ~File() = default;
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
    // Flushes and closes; false when data could not be written out.
    virtual bool Close() = 0;
  };
  virtual ~InstallFiles() = default;
  // Creates every missing folder along `path` (EnsureDirectories); the run ignores the
  // result and lets the file creation fail.
  virtual bool MakeFolders(const std::u16string& path) = 0;
  // Creates or truncates a file for writing, no sharing; null when that fails.
  virtual std::unique_ptr<File> Create(const std::u16string& path) = 0;
  // Writes "RudodeData\Spread.ini" below the folder from the program's own name.
  virtual void WriteChannelInfo(const std::u16string& folder) = 0;
  // Runs the registration command of the component in the folder and waits for it.
  virtual void RegisterComponent(const std::u16string& folder) = 0;
  // Converts a manifest line to the system's ANSI code page.
  virtual std::string ToAnsi(std::u16string_view line) = 0;
};

class InstallReports {
 public:
  virtual ~InstallReports() = default;
  // `path` is the full path the report concerns, or null.
  virtual void Report(int code, const std::u16string* path) = 0;
};

class InstallControl {
 public:
  virtual ~InstallControl() = default;
  // False once a stop was requested (also before the run began).
  virtual bool Running() = 0;
  // Called between records: returns at once, or when a requested pause is lifted.
  virtual void SafePoint() = 0;
};

// The two compressed resources; a null pointer is a resource that could not be loaded.
struct InstallStreams {
  const std::uint8_t* uninstaller = nullptr;
  std::uint32_t uninstallerSize = 0;
  const std::uint8_t* payload = nullptr;
  std::uint32_t payloadSize = 0;
};

struct InstallOutcome {
  std::vector<std::u16string> installedFiles;  // the manifest's file list
  int finalReport = 0;                         // the last report posted
  std::uint64_t installedBytes = 0;            // uninstall.exe and the payload files written
  bool listsWritten = false;                   // registration done, manifest complete
};

// Runs one installation into `folder` (absolute, ending with '\'). Reports go to `reports`
// in protocol order; exactly one of INSTALL_COMPLETE, INSTALL_CREATE_FAILED or
// INSTALL_PACKAGE_UNREADABLE ends the reports unless a stop came first. A package that
// does not inflate cleanly or fails validation is refused before its first file; a payload
// path too long for the folder is refused as a file that cannot be created, also before
// the first file. Write failures (a full disk) are reported as creation failures.
InstallOutcome RunInstallation(const std::u16string& folder,
                               const InstallStreams& streams,
                               InstallFiles& files,
                               InstallReports& reports,
                               InstallControl& control);
