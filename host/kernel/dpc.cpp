#include "dpc.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "activity.h"
#include "irql.h"
#include "scheduler.h"
#include "thread_state.h"
#include "verifier.h"

namespace hk::dpc {
namespace {
std::mutex g_lock;
sched::CondVar g_work;
std::deque<PKDPC> g_queue;
std::vector<PKDPC> g_running;
std::vector<PKDPC> g_runningInline;  // DPCs running on the thread that queued them
std::vector<std::thread> g_processors;
bool g_stopping = false;

// A DPC queued below DISPATCH_LEVEL runs at once on the queuing processor, as the software
// interrupt Windows requests for it is taken as soon as the queuing returns to that IRQL. Only
// the driver's own system threads do so here: they hold no host lock that the routine could need.
bool RunsInline(const ThreadInfo& self) {
  return self.System && self.Irql < DISPATCH_LEVEL && self.HeldLocks.empty();
}

// Runs a DPC routine at DISPATCH_LEVEL on this thread and checks how it came back.
void RunRoutine(ThreadInfo& self, PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2) {
  KIRQL before = self.Irql;
  self.Irql = DISPATCH_LEVEL;
  self.InDpc = true;
  routine(dpc, context, arg1, arg2);
  self.InDpc = false;
  if (self.Irql != DISPATCH_LEVEL)
    verifier::Report("irql", "a DPC routine returned at IRQL " + std::to_string(self.Irql));
  if (!self.HeldLocks.empty()) {
    verifier::Report("spin-lock", "a DPC routine returned holding a spin lock");
    self.HeldLocks.clear();
  }
  self.Irql = before;
}

// The arguments come from the caller, not the DPC object: another processor may be queuing the
// same DPC with other arguments meanwhile.
void RunInline(ThreadInfo& self, PKDPC dpc, PVOID arg1, PVOID arg2) {
  RunRoutine(self, dpc, dpc->DeferredRoutine, dpc->DeferredContext, arg1, arg2);
  std::lock_guard<std::mutex> guard(g_lock);
  g_runningInline.erase(std::find(g_runningInline.begin(), g_runningInline.end(), dpc));
}

void Processor(int number) {
  ThreadInfo& self = CurrentThread();
  self.Name = "DPC processor " + std::to_string(number);
  for (;;) {
    PKDPC dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context, arg1, arg2;
    {
      std::unique_lock<std::mutex> guard(g_lock);
      g_work.wait(guard, [] { return g_stopping || !g_queue.empty(); }, "a DPC to run");
      if (g_queue.empty()) return;
      dpc = g_queue.front();
      g_queue.pop_front();
      // Off the queue before it runs: the routine may queue its own DPC again.
      dpc->DpcData = nullptr;
      g_running[number] = dpc;
      // Taken while still under the queue lock: once off the queue, the DPC may be queued again
      // with new arguments.
      routine = dpc->DeferredRoutine;
      context = dpc->DeferredContext;
      arg1 = dpc->SystemArgument1;
      arg2 = dpc->SystemArgument2;
    }
    RunRoutine(self, dpc, routine, context, arg1, arg2);
    {
      std::lock_guard<std::mutex> guard(g_lock);
      g_running[number] = nullptr;
    }
    activity::End();
  }
}
}  // namespace

void Start(int processors) {
  Stop();
  std::lock_guard<std::mutex> guard(g_lock);
  g_stopping = false;
  g_running.assign(processors, nullptr);
  for (int i = 0; i < processors; ++i) g_processors.push_back(sched::Spawn([i] { Processor(i); }));
}

void Stop() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stopping = true;
    g_work.notify_all();
  }
  for (auto& t : g_processors) sched::Join(t);
  g_processors.clear();
  std::lock_guard<std::mutex> guard(g_lock);
  for (size_t i = 0; i < g_queue.size(); ++i) activity::End();
  g_queue.clear();
}

bool QueuedOrRunningIn(const void* begin, const void* end) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  for (PKDPC d : g_queue)
    if (inside(d)) return true;
  for (PKDPC d : g_running)
    if (d && inside(d)) return true;
  for (PKDPC d : g_runningInline)
    if (inside(d)) return true;
  return false;
}

}  // namespace hk::dpc

using namespace hk;

extern "C" {

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (Dpc->Type != 19 || !Dpc->DeferredRoutine) {
    verifier::Report("dpc", "KeInsertQueueDpc on a DPC that was never initialised");
    return FALSE;
  }
  locks::AtInterleavePoint(Dpc, locks::InterleavePoint::QueueDpc);
  ThreadInfo& self = CurrentThread();
  if (dpc::RunsInline(self)) {
    {
      std::lock_guard<std::mutex> guard(dpc::g_lock);
      if (Dpc->DpcData) return FALSE;  // already queued for a processor: it runs there
      dpc::g_runningInline.push_back(Dpc);
    }
    dpc::RunInline(self, Dpc, SystemArgument1, SystemArgument2);
    return TRUE;
  }
  {
    std::lock_guard<std::mutex> guard(dpc::g_lock);
    if (Dpc->DpcData) return FALSE;
    Dpc->DpcData = Dpc;  // marks it queued
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    activity::Begin();
    dpc::g_queue.push_back(Dpc);
  }
  // After unlocking, so that the woken processor does not block on the lock at once.
  dpc::g_work.notify_one();
  sched::Point("KeInsertQueueDpc");
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> guard(dpc::g_lock);
  if (!Dpc->DpcData) return FALSE;
  for (auto it = dpc::g_queue.begin(); it != dpc::g_queue.end(); ++it) {
    if (*it == Dpc) {
      dpc::g_queue.erase(it);
      Dpc->DpcData = nullptr;
      activity::End();
      return TRUE;
    }
  }
  return FALSE;
}

}  // extern "C"
