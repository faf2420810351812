#include "activity.h"

#include <condition_variable>
#include <mutex>

#include "scheduler.h"
#include "verifier.h"

namespace hk::activity {
namespace {
std::mutex g_lock;
sched::CondVar g_idle;
int g_busy = 0;
}  // namespace

void Begin() {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_busy;
}

void End() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (--g_busy == 0) g_idle.notify_all();
  if (g_busy < 0) g_busy = 0;
}

int Busy() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_busy;
}

bool WaitIdle(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(g_lock);
  if (g_idle.wait_for(guard, limit, [] { return g_busy == 0; })) return true;
  int busy = g_busy;
  guard.unlock();
  verifier::Report("no-progress", "the machine did not settle: " + std::to_string(busy) +
                                      " units of work still runnable (livelock or stuck thread?)");
  return false;
}

}  // namespace hk::activity
