#include "clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "activity.h"
#include "dispatcher.h"
#include "verifier.h"

namespace hk::clock {
namespace {

struct Entry {
  PKTIMER Timer = nullptr;
  std::function<void()> Callback;
};
using Key = std::pair<LONGLONG, uint64_t>;

std::mutex g_lock;
std::condition_variable g_changed;
std::map<Key, Entry> g_queue;
std::unordered_map<PKTIMER, Key> g_timers;
std::unordered_map<uint64_t, Key> g_events;
uint64_t g_sequence = 0;
std::atomic<LONGLONG> g_now{0};
LONGLONG g_tick = kDefaultTick;
std::atomic<LONGLONG> g_clockSet{0};  // how far the clock was set away from interrupt time
Mode g_mode = Mode::Virtual;
std::chrono::steady_clock::time_point g_start;
std::thread g_thread;
bool g_running = false;

LONGLONG RealNow() {
  auto elapsed = std::chrono::steady_clock::now() - g_start;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

LONGLONG RoundUpToTick(LONGLONG t) { return (t + g_tick - 1) / g_tick * g_tick; }

void FireTimer(PKTIMER timer) {
  PKDPC dpc;
  {
    std::lock_guard<std::mutex> guard(dispatcher::Lock());
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    dispatcher::SignalObject(&timer->Header);
    dpc = timer->Dpc;
  }
  if (dpc) {
    LARGE_INTEGER now;
    now.QuadPart = SystemTime();
    KeInsertQueueDpc(dpc, (PVOID)(ULONG_PTR)now.LowPart, (PVOID)(ULONG_PTR)now.HighPart);
  }
}

// Pops the first entry due at or before `limit`; the caller fires it without the lock.
bool PopDue(LONGLONG limit, Entry& out, LONGLONG& due) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_queue.empty() || g_queue.begin()->first.first > limit) return false;
  auto it = g_queue.begin();
  due = it->first.first;
  out = std::move(it->second);
  if (out.Timer) g_timers.erase(out.Timer);
  else g_events.erase(it->first.second);
  g_queue.erase(it);
  return true;
}

void Fire(Entry& entry) {
  if (entry.Timer) FireTimer(entry.Timer);
  else entry.Callback();
}

void RealClockThread() {
  for (;;) {
    Entry entry;
    {
      std::unique_lock<std::mutex> guard(g_lock);
      while (g_running) {
        if (g_queue.empty()) {
          g_changed.wait(guard);
          continue;
        }
        LONGLONG due = g_queue.begin()->first.first;
        LONGLONG now = RealNow();
        if (due <= now) break;
        g_changed.wait_for(guard, std::chrono::nanoseconds((due - now) * 100));
      }
      if (!g_running) return;
      auto it = g_queue.begin();
      entry = std::move(it->second);
      if (entry.Timer) g_timers.erase(entry.Timer);
      else g_events.erase(it->first.second);
      g_queue.erase(it);
    }
    Fire(entry);
  }
}

uint64_t Insert(LONGLONG due, Entry entry) {
  std::lock_guard<std::mutex> guard(g_lock);
  uint64_t id = ++g_sequence;
  Key key{due, id};
  if (entry.Timer) g_timers[entry.Timer] = key;
  else g_events[id] = key;
  g_queue.emplace(key, std::move(entry));
  g_changed.notify_all();
  return id;
}

}  // namespace

void Start(Mode mode, LONGLONG tick) {
  Stop();
  std::lock_guard<std::mutex> guard(g_lock);
  g_mode = mode;
  g_tick = tick;
  g_now = 0;
  g_clockSet = 0;
  g_start = std::chrono::steady_clock::now();
  g_queue.clear();
  g_timers.clear();
  g_events.clear();
  if (mode == Mode::Real) {
    g_running = true;
    g_thread = std::thread(RealClockThread);
  }
}

void Stop() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_running = false;
    g_changed.notify_all();
  }
  if (g_thread.joinable()) g_thread.join();
}

Mode CurrentMode() { return g_mode; }

LONGLONG Now() { return g_mode == Mode::Real ? RealNow() : g_now.load(); }

LONGLONG InterruptTime() { return Now() / g_tick * g_tick; }

LONGLONG SystemTime() { return kEpoch + g_clockSet.load() + InterruptTime(); }

void SetClock(LONGLONG units) { g_clockSet += units; }

LONGLONG Tick() { return g_tick; }

uint64_t Schedule(LONGLONG due, std::function<void()> callback) {
  Entry entry;
  entry.Callback = std::move(callback);
  return Insert(due, std::move(entry));
}

uint64_t ScheduleOnTick(LONGLONG due, std::function<void()> callback) {
  return Schedule(RoundUpToTick(due), std::move(callback));
}

bool Cancel(uint64_t id) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_events.find(id);
  if (it == g_events.end()) return false;
  g_queue.erase(it->second);
  g_events.erase(it);
  return true;
}

LONGLONG KernelDueToNow(LONGLONG dueTime) {
  LONGLONG now = Now();
  LONGLONG due = dueTime < 0 ? now - dueTime : dueTime - kEpoch - g_clockSet.load();
  if (due < now) due = now;
  return due;
}

namespace {
// Takes a kernel timer off the queue; true when it was on it.
bool Dequeue(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_timers.find(timer);
  if (it == g_timers.end()) return false;
  g_queue.erase(it->second);
  g_timers.erase(it);
  return true;
}
}  // namespace

BOOLEAN SetTimer(PKTIMER timer, LONGLONG due, PKDPC dpc) {
  BOOLEAN wasSet = Dequeue(timer);
  {
    std::lock_guard<std::mutex> guard(dispatcher::Lock());
    timer->Header.SignalState = 0;
    timer->Header.Inserted = TRUE;
    timer->Dpc = dpc;
    timer->DueTime.QuadPart = (ULONGLONG)due;
  }
  Entry entry;
  entry.Timer = timer;
  // A due time already reached still waits for the next clock tick, as on Windows.
  LONGLONG when = RoundUpToTick(due);
  if (when <= Now()) when = RoundUpToTick(Now() + 1);
  Insert(when, std::move(entry));
  return wasSet;
}

BOOLEAN CancelTimer(PKTIMER timer) {
  BOOLEAN wasSet = Dequeue(timer);
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  timer->Header.Inserted = FALSE;
  return wasSet;
}

bool PendingTimerIn(const void* begin, const void* end) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (const auto& [timer, key] : g_timers) {
    (void)key;
    auto inside = [&](const void* p) { return p >= begin && p < end; };
    if (inside(timer) || (timer->Dpc && inside(timer->Dpc))) return true;
  }
  return false;
}

void Advance(LONGLONG units) {
  if (g_mode != Mode::Virtual) {
    verifier::Report("clock", "Advance() called while the clock runs in real time");
    return;
  }
  LONGLONG target = g_now.load() + units;
  for (;;) {
    activity::WaitIdle();
    Entry entry;
    LONGLONG due;
    if (!PopDue(target, entry, due)) break;
    if (due > g_now.load()) g_now = due;
    Fire(entry);
  }
  if (target > g_now.load()) g_now = target;
  activity::WaitIdle();
}

void JumpTo(LONGLONG due) {
  if (due > g_now.load()) g_now = due;
}

bool FireOneDue() {
  Entry entry;
  LONGLONG due;
  if (!PopDue(g_now.load(), entry, due)) return false;
  Fire(entry);
  return true;
}

LONGLONG NextDue() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_queue.empty() ? -1 : g_queue.begin()->first.first;
}

}  // namespace hk::clock
