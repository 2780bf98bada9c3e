#include "win/install/WorkerThread.h"

WorkerThread::WorkerThread() : unpaused_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  // Made last, suspended: it runs nothing until the object is whole and resumed.
  thread_.reset(CreateThread(nullptr, 0, ThreadMain, this, CREATE_SUSPENDED, nullptr));
  if (thread_.valid())
    SetThreadPriority(thread_.get(), THREAD_PRIORITY_NORMAL);
}

WorkerThread::~WorkerThread() {
  EndThread();
}

void WorkerThread::EndThread() {
  // A thread that never ran is let go without running; one that ran must end before its
  // object goes.
  if (!thread_.valid())
    return;
  if (!started_)
    discarded_ = true;
  Stop();
}

DWORD WINAPI WorkerThread::ThreadMain(LPVOID self) {
  if (self == nullptr)
    return 0;
  auto* worker = static_cast<WorkerThread*>(self);
  if (worker->discarded_)
    return 0;
  worker->Run();
  worker->AfterRun();
  return 1;
}

void WorkerThread::Resume() {
  if (!thread_.valid())
    return;
  started_ = true;
  ResumeThread(thread_.get());
}

void WorkerThread::RequestStop() {
  stopRequested_ = true;
  running_ = 0;
  Continue();
}

void WorkerThread::Stop() {
  RequestStop();
  if (!thread_.valid())
    return;
  if (discarded_ && !started_) {
    started_ = true;
    ResumeThread(thread_.get());
  }
  if (started_)
    WaitForSingleObject(thread_.get(), INFINITE);
}

void WorkerThread::Pause() {
  if (unpaused_.valid()) {
    ResetEvent(unpaused_.get());
    pauseRequested_ = true;
  }
}

void WorkerThread::Continue() {
  if (unpaused_.valid()) {
    pauseRequested_ = false;
    SetEvent(unpaused_.get());
  }
}

void WorkerThread::SafePoint() {
  // A flag read while nobody pauses; the event only once a pause was asked for.
  if (pauseRequested_.load())
    WaitForSingleObject(unpaused_.get(), INFINITE);
}

bool Win32ThreadPair::Start(void (*body)(void*), void* context) {
  body_ = body;
  context_ = context;
  thread_.reset(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr));
  return thread_.valid();
}

void Win32ThreadPair::Join() {
  WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
}

DWORD WINAPI Win32ThreadPair::ThreadMain(LPVOID self) {
  const Win32ThreadPair* pair = static_cast<const Win32ThreadPair*>(self);
  pair->body_(pair->context_);
  return 0;
}
