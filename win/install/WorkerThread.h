// A thread object for a long run that the user may pause or stop: the installation runs on
// one, so that the wizard's window keeps answering.
#pragma once

#include <windows.h>

#include <atomic>

#include "core/install/InstallRun.h"
#include "win/base/UniqueHandle.h"

// A thread object: Resume makes the thread, which runs Run, then AfterRun; RunHere runs them
// on the caller instead, for a caller that would only wait (a silent installation: under
// Wine every thread costs about 1 MiB of private memory). Stop asks the run to end and waits
// until it has: every step of a run ends by itself (the registration has its own time
// limit), so no thread is ever terminated.
class WorkerThread {
 public:
  WorkerThread();
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The thread, once Resume has made it.
  HANDLE Thread() const { return thread_.get(); }
  // Starts the run on its thread; a second call does nothing.
  void Resume();
  // Runs the run on the calling thread and returns when it has ended.
  void RunHere();
  // Requests a stop - kept even when the run has not begun - and lifts a pause; the thread
  // ends at the run's next safe point. Stop also waits for it.
  void RequestStop();
  void Stop();
  // Cooperative pause: the run parks at its next safe point (between records) until
  // Continue or Stop.
  void Pause();
  void Continue();

 protected:
  virtual void Run() {}
  virtual void AfterRun() {}
  bool Running() const { return running_.load() != 0 && !stopRequested_.load(); }
  // Parks while a pause is requested.
  void SafePoint();
  // Ends the thread before the object goes: stops one that runs. Every derived destructor
  // calls it first, since the thread runs derived code.
  void EndThread();

  std::atomic<int> running_{0};
  std::atomic<bool> stopRequested_{false};

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);

  UniqueHandle thread_;
  bool started_ = false;                     // run, here or on the thread
  UniqueHandle unpaused_;                    // manual-reset event, set while not paused
  std::atomic<bool> pauseRequested_{false};  // set after the event is reset
};

// The run's second thread, on which the payload inflates while the run writes it: a thread
// of CreateThread, an SRW lock and a condition variable. The thread must be joined before
// the object goes.
class Win32ThreadPair : public ThreadPair {
 public:
  Win32ThreadPair() = default;
  Win32ThreadPair(const Win32ThreadPair&) = delete;
  Win32ThreadPair& operator=(const Win32ThreadPair&) = delete;

  bool Start(void (*body)(void*), void* context) override;
  void Join() override;
  void Lock() override { AcquireSRWLockExclusive(&lock_); }
  void Unlock() override { ReleaseSRWLockExclusive(&lock_); }
  void Wait() override { SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0); }
  void WakeAll() override { WakeAllConditionVariable(&changed_); }

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);

  UniqueHandle thread_;
  void (*body_)(void*) = nullptr;
  void* context_ = nullptr;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
};
