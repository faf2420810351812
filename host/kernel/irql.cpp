// Spin locks are real locks between real threads; raising IRQL is bookkeeping that the
// verifier checks (waits, paged allocations and nested acquisitions at the wrong level).
#include "irql.h"

#include <sched.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "scheduler.h"
#include "thread_state.h"
#include "verifier.h"

namespace hk::locks {
namespace {

std::mutex g_graphLock;
std::map<ULONG_PTR, std::set<ULONG_PTR>> g_after;  // lock -> locks taken while holding it
std::map<ULONG_PTR, std::string> g_names;
KSPIN_LOCK g_cancelLock = 0;

std::string LockName(ULONG_PTR lock) {
  auto it = g_names.find(lock);
  if (it != g_names.end()) return it->second;
  char text[32];
  std::snprintf(text, sizeof text, "lock@%p", (void*)lock);
  return text;
}

bool Reaches(ULONG_PTR from, ULONG_PTR to, std::set<ULONG_PTR>& seen) {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto it = g_after.find(from);
  if (it == g_after.end()) return false;
  for (ULONG_PTR next : it->second)
    if (Reaches(next, to, seen)) return true;
  return false;
}

void RecordOrder(ThreadInfo& self, PKSPIN_LOCK lock) {
  if (self.HeldLocks.empty()) return;
  std::lock_guard<std::mutex> guard(g_graphLock);
  ULONG_PTR taken = (ULONG_PTR)lock;
  for (PKSPIN_LOCK held : self.HeldLocks) {
    ULONG_PTR h = (ULONG_PTR)held;
    auto& edges = g_after[h];
    if (edges.count(taken)) continue;
    std::set<ULONG_PTR> seen;
    if (Reaches(taken, h, seen)) {
      verifier::Report("lock-order", LockName(taken) + " taken while holding " + LockName(h) +
                                         ", but earlier " + LockName(h) + " was taken after " +
                                         LockName(taken));
    }
    edges.insert(taken);
  }
}

ULONG_PTR OwnerToken() {
  thread_local char marker;
  return (ULONG_PTR)&marker;
}

void Acquire(PKSPIN_LOCK lock, const char* routine) {
  ThreadInfo& self = CurrentThread();
  for (PKSPIN_LOCK held : self.HeldLocks) {
    if (held == lock) {
      verifier::Report("spin-lock", std::string(routine) + " on a spin lock this thread already holds (deadlock)");
      return;
    }
  }
  RecordOrder(self, lock);
  AtInterleavePoint(lock, InterleavePoint::BeforeAcquire);
  ULONG_PTR token = OwnerToken();
  sched::Point("spin lock acquire");
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      break;
    // Under controlled scheduling the holder runs only when this thread gives way.
    if (sched::BlockOn(lock, "a spin lock")) continue;
    if (spins > 64) sched_yield();
  }
  self.HeldLocks.push_back(lock);
}

void Release(PKSPIN_LOCK lock, const char* routine) {
  ThreadInfo& self = CurrentThread();
  bool found = false;
  for (size_t i = self.HeldLocks.size(); i-- > 0;) {
    if (self.HeldLocks[i] == lock) {
      self.HeldLocks.erase(self.HeldLocks.begin() + (long)i);
      found = true;
      break;
    }
  }
  if (!found || __atomic_load_n(lock, __ATOMIC_RELAXED) != OwnerToken()) {
    verifier::Report("spin-lock", std::string(routine) + " releases a spin lock this thread does not hold");
    return;
  }
  sched::Point("spin lock release");
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  AtInterleavePoint(lock, InterleavePoint::AfterRelease);
  sched::Wake(lock);
  sched::Point("spin lock released");
}

}  // namespace

void ForgetRange(const void* begin, const void* end) {
  std::lock_guard<std::mutex> guard(g_graphLock);
  auto inside = [&](ULONG_PTR p) { return p >= (ULONG_PTR)begin && p < (ULONG_PTR)end; };
  for (auto it = g_after.begin(); it != g_after.end();) {
    if (inside(it->first)) {
      it = g_after.erase(it);
      continue;
    }
    for (auto e = it->second.begin(); e != it->second.end();)
      e = inside(*e) ? it->second.erase(e) : std::next(e);
    ++it;
  }
  for (auto it = g_names.begin(); it != g_names.end();)
    it = inside(it->first) ? g_names.erase(it) : std::next(it);
}

bool HeldIn(const void* begin, const void* end) {
  for (PKSPIN_LOCK held : CurrentThread().HeldLocks)
    if ((const void*)held >= begin && (const void*)held < end) return true;
  return false;
}

PKSPIN_LOCK CancelSpinLock() { return &g_cancelLock; }

namespace {

std::mutex g_hookLock;
std::shared_ptr<std::function<void()>> g_hook;
std::atomic<bool> g_hooked{false};

void BelowDispatch(KIRQL from, KIRQL to) {
  if (from < DISPATCH_LEVEL || to >= DISPATCH_LEVEL || !g_hooked.load(std::memory_order_acquire)) return;
  thread_local bool inside = false;
  if (inside) return;
  std::shared_ptr<std::function<void()>> hook;
  {
    std::lock_guard<std::mutex> guard(g_hookLock);
    hook = g_hook;
  }
  if (!hook) return;
  inside = true;
  (*hook)();
  inside = false;
}

}  // namespace

void SetBelowDispatchHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(g_hookLock);
  g_hook = hook ? std::make_shared<std::function<void()>>(std::move(hook)) : nullptr;
  g_hooked = g_hook != nullptr;
}

void Name(PKSPIN_LOCK lock, const char* name) {
  std::lock_guard<std::mutex> guard(g_graphLock);
  g_names[(ULONG_PTR)lock] = name;
}

void ResetGraph() {
  std::lock_guard<std::mutex> guard(g_graphLock);
  g_after.clear();
  g_names.clear();
  g_names[(ULONG_PTR)&g_cancelLock] = "the cancel spin lock";
}

}  // namespace hk::locks

using namespace hk;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentThread().Irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  ThreadInfo& self = CurrentThread();
  KIRQL old = self.Irql;
  if (NewIrql < old)
    verifier::Report("irql", "KeRaiseIrql to " + std::to_string(NewIrql) + " from higher IRQL " +
                                 std::to_string(old));
  self.Irql = NewIrql;
  return old;
}

void KfLowerIrql(KIRQL NewIrql) {
  ThreadInfo& self = CurrentThread();
  if (NewIrql > self.Irql)
    verifier::Report("irql", "KeLowerIrql to " + std::to_string(NewIrql) + " from lower IRQL " +
                                 std::to_string(self.Irql));
  KIRQL old = self.Irql;
  self.Irql = NewIrql;
  locks::BelowDispatch(old, NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  ThreadInfo& self = CurrentThread();
  KIRQL old = self.Irql;
  if (old > DISPATCH_LEVEL)
    verifier::Report("irql", "KeAcquireSpinLock above DISPATCH_LEVEL");
  self.Irql = DISPATCH_LEVEL;
  locks::Acquire(SpinLock, "KeAcquireSpinLock");
  return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ThreadInfo& self = CurrentThread();
  locks::Release(SpinLock, "KeReleaseSpinLock");
  if (NewIrql > DISPATCH_LEVEL) verifier::Report("irql", "KeReleaseSpinLock to an IRQL above DISPATCH_LEVEL");
  KIRQL old = self.Irql;
  self.Irql = NewIrql;
  locks::BelowDispatch(old, NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentThread().Irql < DISPATCH_LEVEL)
    verifier::Report("irql", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  locks::Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  locks::Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

void IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(locks::CancelSpinLock()); }

void IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(locks::CancelSpinLock(), Irql); }

}  // extern "C"
