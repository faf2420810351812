// Controlled scheduling. Off by default: the machine's threads run freely. When a run begins
// under a seed, exactly one registered thread runs at a time and control changes hands only at
// the kernel's synchronisation points (spin-lock acquire and release, KeSetEvent, waits, DPC
// queueing, IoCallDriver, IoCompleteRequest, interlocked operations, thread start and exit) and
// in the host's own condition variables. The seed picks every hand-over, so one seed replays
// one interleaving; virtual time moves only when every thread is blocked and a timer is due.
#pragma once
#include <hostddk/ddk.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace hk::sched {

extern std::atomic<bool> g_active;
inline bool Active() { return g_active.load(std::memory_order_relaxed); }
// True for a thread of the current run.
bool Registered();

struct RunOptions {
  uint64_t Seed = 1;
  // Virtual time the run may reach; a machine still busy beyond it is reported as stuck.
  LONGLONG TimeLimit = 600LL * 10000000;
  // About how many points a run passes: PCT places its change points among them.
  uint64_t Steps = 40000;
  // Called (then the process ends) on a deadlock or a run past the time limit.
  std::function<void(const std::string& report)> OnFailure;
};

struct RunResult {
  uint64_t TraceHash = 0;
  uint64_t Steps = 0;
  uint64_t Switches = 0;
};

// The calling thread becomes the run's first thread. Threads made by Spawn join the run.
void Begin(const RunOptions& options);
// Ends the run; every other thread of the run must have ended (joined through Join).
RunResult End();

// A point where a processor could interleave: another thread may run before this returns.
void Point(const char* what);

// Host code that calls a kernel routine while it holds one of its own mutexes suppresses the
// routine's points: no other thread of a run may run while a host mutex is held.
class NoPoints {
 public:
  NoPoints();
  ~NoPoints();
  NoPoints(const NoPoints&) = delete;
  NoPoints& operator=(const NoPoints&) = delete;
};

// Creates a host thread; under a run it is registered before it starts, so it runs only when
// the scheduler hands it control. Not a point itself: callers may hold host locks.
std::thread Spawn(std::function<void()> body);
void Join(std::thread& thread);

// Blocks the calling thread of the run until Wake(key); false when not under a run (the caller
// then waits its own way).
bool BlockOn(const void* key, const char* what);
void Wake(const void* key);

// A condition variable the scheduler knows about: under a run a waiter is a blocked thread of
// the run and a notification makes it runnable; otherwise it is std::condition_variable.
class CondVar {
 public:
  void notify_one() {
    cv_.notify_one();
    if (Active()) Wake(this);
  }
  void notify_all() {
    cv_.notify_all();
    if (Active()) Wake(this);
  }
  // `what` names the wait in a deadlock report.
  void wait(std::unique_lock<std::mutex>& lock, const char* what = "a host condition variable");
  template <class Predicate>
  void wait(std::unique_lock<std::mutex>& lock, Predicate ready, const char* what = "a host condition variable") {
    while (!ready()) wait(lock, what);
  }
  // Waits at most `limit` of real time when running freely; under a run the limit does not
  // apply (time is virtual there and a stuck machine is reported as a deadlock).
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::unique_lock<std::mutex>& lock, const std::chrono::duration<Rep, Period>& limit,
                Predicate ready) {
    if (Registered()) {
      while (!ready()) wait(lock);
      return true;
    }
    return cv_.wait_for(lock, limit, ready);
  }

 private:
  std::condition_variable cv_;

};

// A recursive mutex a thread of a run may hold while it passes points (the PnP manager holds
// its lock across whole PnP sequences): a contender blocks in the scheduler, not the host.
class RecursiveMutex {
 public:
  void lock() {
    if (!Registered()) {
      mutex_.lock();
      return;
    }
    while (!mutex_.try_lock()) BlockOn(this, "a host lock");
  }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() {
    mutex_.unlock();
    if (Active()) Wake(this);
  }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace hk::sched

// For the interlocked inlines of the DDK headers.
extern "C" void HkSchedulePoint(const char* what);
