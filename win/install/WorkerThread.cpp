#include "win/install/WorkerThread.h"

WorkerThread::WorkerThread() : unpaused_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

WorkerThread::~WorkerThread() {
  EndThread();
}

void WorkerThread::EndThread() {
  if (thread_.valid())
    Stop();
}

DWORD WINAPI WorkerThread::ThreadMain(LPVOID self) {
  auto* worker = static_cast<WorkerThread*>(self);
  worker->Run();
  worker->AfterRun();
  return 1;
}

void WorkerThread::Resume() {
  // Made only now, when the object is whole: the thread runs derived code.
  if (started_)
    return;
  thread_.reset(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr));
  started_ = thread_.valid();
}

void WorkerThread::RunHere() {
  if (started_)
    return;
  started_ = true;
  Run();
  AfterRun();
}

void WorkerThread::RequestStop() {
  stopRequested_ = true;
  running_ = 0;
  Continue();
}

void WorkerThread::Stop() {
  RequestStop();
  if (thread_.valid())
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
