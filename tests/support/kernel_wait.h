// For negative checks ("X has not happened yet") on a thread the test started: instead of
// sleeping and hoping the thread got far enough, wait until it is blocked in a kernel wait.
#pragma once
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "kernel/dispatcher.h"
#include "kernel/thread_state.h"

namespace hk::test {

// True once `thread` is blocked in a kernel wait; on `object` when one is named.
inline bool BlockedInKernelWait(ThreadInfo* thread, const void* object = nullptr) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  if (!thread->Waiting) return false;
  if (!object) return true;
  for (ULONG i = 0; i < thread->WaitCount; ++i)
    if (thread->Blocks[i].Object == object) return true;
  return false;
}

// Polls until the thread published in `thread` is blocked in a kernel wait (on `object` when
// one is named) or `finished()` is true; returns false only when neither happened within 20
// seconds (a stuck test).
template <typename Finished>
bool UntilBlockedInKernelWait(const std::atomic<ThreadInfo*>& thread, Finished finished,
                              const void* object = nullptr) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    if (finished()) return true;
    ThreadInfo* t = thread.load();
    if (t && BlockedInKernelWait(t, object)) return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace hk::test
