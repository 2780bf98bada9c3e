// The application object both programs are written in: a start-up operation that does all
// the work on the main thread. A program whose start-up returns false ends without a
// message loop, with the exit code the start-up chose.
#pragma once

#include <windows.h>

class Application {
 public:
  virtual ~Application() = default;

  // Runs the start-up operation; the result is the process exit code.
  int Run(HINSTANCE instance) {
    instance_ = instance;
    InitInstance();
    return exitCode_;
  }

 protected:
  virtual bool InitInstance() = 0;

  HINSTANCE instance_ = nullptr;
  int exitCode_ = 0;
};
