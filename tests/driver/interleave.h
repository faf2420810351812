// Helpers of the tests that hold a window open at an interleaving point of the host kernel.
#pragma once
#include <chrono>
#include <functional>
#include <thread>

#include "kernel/irql.h"
#include "kernel/thread_state.h"

namespace hk::test {

// Runs `hook` at every interleaving point of every thread while the object lives.
class InterleaveHook {
 public:
  explicit InterleaveHook(std::function<void(const void*, locks::InterleavePoint)> hook) {
    locks::SetInterleaveHook(std::move(hook));
  }
  ~InterleaveHook() { locks::SetInterleaveHook(nullptr); }
};

// Polls, in real time, until `done` or the limit; for a thread the test cannot wait on.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

inline bool InThread(PVOID thread) { return (PVOID)KeGetCurrentThread() == thread; }

}  // namespace hk::test
