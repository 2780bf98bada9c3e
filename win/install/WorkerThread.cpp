#include "win/install/WorkerThread.h"

WorkerThread::WorkerThread() : m_unpaused(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  // Made last, suspended: it runs nothing until the object is whole and resumed.
  m_thread.reset(CreateThread(nullptr, 0, ThreadMain, this, CREATE_SUSPENDED, nullptr));
  if (m_thread.valid())
    SetThreadPriority(m_thread.get(), THREAD_PRIORITY_NORMAL);
}

WorkerThread::~WorkerThread() {
  EndThread();
}

void WorkerThread::EndThread() {
  // A thread that never ran is let go without running; one that ran must end before its
  // object goes.
  if (!m_thread.valid())
    return;
  if (!m_started)
    m_discarded = true;
  Stop();
}

DWORD WINAPI WorkerThread::ThreadMain(LPVOID self) {
  if (self == nullptr)
    return 0;
  auto* worker = static_cast<WorkerThread*>(self);
  if (worker->m_discarded)
    return 0;
  worker->Run();
  worker->AfterRun();
  return 1;
}

void WorkerThread::Resume() {
  if (!m_thread.valid())
    return;
  m_started = true;
  ResumeThread(m_thread.get());
}

void WorkerThread::RequestStop() {
  m_stopRequested = true;
  m_running = 0;
  Continue();
}

void WorkerThread::Stop() {
  RequestStop();
  if (!m_thread.valid())
    return;
  if (m_discarded && !m_started) {
    m_started = true;
    ResumeThread(m_thread.get());
  }
  if (m_started)
    WaitForSingleObject(m_thread.get(), INFINITE);
}

void WorkerThread::Pause() {
  if (m_unpaused.valid()) {
    ResetEvent(m_unpaused.get());
    m_pauseRequested = true;
  }
}

void WorkerThread::Continue() {
  if (m_unpaused.valid()) {
    m_pauseRequested = false;
    SetEvent(m_unpaused.get());
  }
}

void WorkerThread::SafePoint() {
  // A flag read while nobody pauses; the event only once a pause was asked for.
  if (m_pauseRequested.load())
    WaitForSingleObject(m_unpaused.get(), INFINITE);
}

bool Win32ThreadPair::Start(void (*body)(void*), void* context) {
  m_body = body;
  m_context = context;
  m_thread.reset(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr));
  return m_thread.valid();
}

void Win32ThreadPair::Join() {
  WaitForSingleObject(m_thread.get(), INFINITE);
  m_thread.reset();
}

DWORD WINAPI Win32ThreadPair::ThreadMain(LPVOID self) {
  const Win32ThreadPair* pair = static_cast<const Win32ThreadPair*>(self);
  pair->m_body(pair->m_context);
  return 0;
}
