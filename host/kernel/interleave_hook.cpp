// A test hook at the points where another processor could interleave with the running path:
// before a spin lock is taken, after it is released, and as a DPC is queued, at any IRQL.
#include <atomic>
#include <memory>
#include <mutex>

#include "irql.h"

namespace hk::locks {
namespace {

using Hook = std::function<void(const void*, InterleavePoint)>;

std::mutex g_interleaveLock;
std::shared_ptr<Hook> g_interleaveHook;
std::atomic<bool> g_interleaveHooked{false};

}  // namespace

void SetInterleaveHook(Hook hook) {
  std::lock_guard<std::mutex> guard(g_interleaveLock);
  g_interleaveHook = hook ? std::make_shared<Hook>(std::move(hook)) : nullptr;
  g_interleaveHooked = g_interleaveHook != nullptr;
}

void AtInterleavePoint(const void* object, InterleavePoint point) {
  if (!g_interleaveHooked.load(std::memory_order_acquire)) return;
  thread_local bool inside = false;
  if (inside) return;
  std::shared_ptr<Hook> hook;
  {
    std::lock_guard<std::mutex> guard(g_interleaveLock);
    hook = g_interleaveHook;
  }
  if (!hook) return;
  inside = true;
  (*hook)(object, point);
  inside = false;
}

}  // namespace hk::locks
