// The application object both programs are written in: a start-up operation that does all
// the work on the main thread. A program whose start-up returns FALSE ends without a
// message loop, with the exit code the start-up chose.
#pragma once

#include <windows.h>

class Application {
 public:
  virtual ~Application() = default;

  // Runs the start-up operation; the result is the process exit code.
  int Run(HINSTANCE instance) {
    m_instance = instance;
    InitInstance();
    return m_exitCode;
  }

 protected:
  virtual BOOL InitInstance() = 0;

  HINSTANCE m_instance = nullptr;
  int m_exitCode = 0;
};
