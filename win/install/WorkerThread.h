// A thread object for a long run that the user may pause or stop: the installation runs on
// one, so that the wizard's window keeps answering.
#pragma once

#include <windows.h>

#include <atomic>

#include "core/install/InstallRun.h"
#include "win/base/UniqueHandle.h"

// A thread object: the thread is created suspended at construction and runs Run, then
// AfterRun. Stop asks the run to end and waits until it has: every step of a run ends by
// itself (the registration has its own time limit), so no thread is ever terminated.
class WorkerThread {
 public:
  WorkerThread();
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  HANDLE Thread() const { return m_thread.get(); }
  // Starts (or continues) the thread.
  void Resume();
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
  bool Running() const { return m_running.load() != 0 && !m_stopRequested.load(); }
  // Parks while a pause is requested.
  void SafePoint();
  // Ends the thread before the object goes: discards one that never ran, stops one that
  // runs. Every derived destructor calls it first, since the thread runs derived code.
  void EndThread();

  std::atomic<int> m_running{0};
  std::atomic<bool> m_stopRequested{false};

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);

  UniqueHandle m_thread;
  bool m_started = false;                     // resumed at least once
  std::atomic<bool> m_discarded{false};       // resumed only to end without running
  UniqueHandle m_unpaused;                    // manual-reset event, set while not paused
  std::atomic<bool> m_pauseRequested{false};  // set after the event is reset
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
  void Lock() override { AcquireSRWLockExclusive(&m_lock); }
  void Unlock() override { ReleaseSRWLockExclusive(&m_lock); }
  void Wait() override { SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0); }
  void WakeAll() override { WakeAllConditionVariable(&m_changed); }

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);

  UniqueHandle m_thread;
  void (*m_body)(void*) = nullptr;
  void* m_context = nullptr;
  SRWLOCK m_lock = SRWLOCK_INIT;
  CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
};
