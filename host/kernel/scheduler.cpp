#include "scheduler.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "clock.h"
#include "thread_state.h"
#include "threads.h"

namespace hk::sched {

std::atomic<bool> g_active{false};

namespace {

enum class State { Runnable, Blocked, Done };

struct Thread {
  int Id = 0;
  State St = State::Runnable;
  const void* Key = nullptr;  // what a blocked thread waits for
  const char* What = "";      // why, for deadlock reports
  const char* Last = "start";  // the last point it passed
  std::string Name;
  uint64_t Priority = 0;
  std::condition_variable Baton;
};

// Guards everything below; the thread holding the baton (g_current) is the only one of the
// run that executes machine code.
std::mutex g_lock;
std::vector<std::unique_ptr<Thread>> g_threads;
std::map<std::thread::id, Thread*> g_byHost;
Thread* g_current = nullptr;
thread_local Thread* tls_self = nullptr;
RunOptions g_options;
std::mt19937_64 g_random;
uint64_t g_hash = 0;
uint64_t g_steps = 0;
uint64_t g_switches = 0;
std::vector<uint64_t> g_changePoints;  // PCT: steps at which the running thread drops priority
size_t g_changeDone = 0;
bool g_randomWalk = true;
bool g_failed = false;
bool g_stopClock = false;
Thread* g_clock = nullptr;
std::thread g_clockThread;
const char g_clockKey = 0;


void Mix(uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    g_hash ^= (value >> (i * 8)) & 0xFF;
    g_hash *= 1099511628211ULL;
  }
}

uint64_t TextHash(const char* text) {
  uint64_t h = 14695981039346656037ULL;
  for (; *text; ++text) h = (h ^ (unsigned char)*text) * 1099511628211ULL;
  return h;
}

const char* StateName(State s) {
  return s == State::Runnable ? "runnable" : s == State::Blocked ? "blocked" : "ended";
}

std::string Describe() {
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "  virtual time %.3f ms, %llu steps\n", clock::Now() / 10000.0,
                (unsigned long long)g_steps);
  out += line;
  for (auto& t : g_threads) {
    if (t->St == State::Done) continue;
    out += "  thread " + std::to_string(t->Id) + " (" + (t->Name.empty() ? "?" : t->Name) + "): " +
           StateName(t->St);
    if (t->St == State::Blocked) out += std::string(" waiting for ") + t->What;
    out += std::string(", last point ") + t->Last + "\n";
  }
  return out;
}

[[noreturn]] void Fail(const std::string& what) {
  g_failed = true;
  std::string report = what + "\n" + Describe();
  if (g_options.OnFailure) g_options.OnFailure(report);
  else std::fprintf(stderr, "scheduler: %s", report.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(1);
}

Thread* NewThread() {
  auto t = std::make_unique<Thread>();
  t->Id = (int)g_threads.size();
  // Above every priority a change point gives, so a demoted thread runs last.
  t->Priority = (g_random() >> 16) + 1000;
  g_threads.push_back(std::move(t));
  return g_threads.back().get();
}

// Chooses who runs after `self` at a point (self still runnable) or when self blocks or ends.
Thread* Choose(Thread* self) {
  ++g_steps;
  std::vector<Thread*> ready;
  for (auto& t : g_threads)
    if (t->St == State::Runnable) ready.push_back(t.get());
  if (ready.empty()) {
    // Every thread waits: the machine is idle, so time moves to the next due event.
    LONGLONG due = clock::NextDue();
    if (due < 0 || g_stopClock) Fail("deadlock: every thread is blocked and no timer is due");
    if (due > g_options.TimeLimit)
      Fail("no progress: the machine is still busy at the run's virtual time limit");
    clock::JumpTo(due);
    g_clock->St = State::Runnable;
    g_clock->Key = nullptr;
    ready.push_back(g_clock);
  }
  Thread* next;
  if (g_randomWalk) {
    next = ready[g_random() % ready.size()];
  } else {
    if (g_changeDone < g_changePoints.size() && g_steps >= g_changePoints[g_changeDone] &&
        self->St == State::Runnable) {
      self->Priority = g_changePoints.size() - g_changeDone;
      ++g_changeDone;
    }
    next = ready[0];
    for (Thread* t : ready)
      if (t->Priority > next->Priority) next = t;
  }
  Mix((uint64_t)self->Id << 32 | (uint64_t)next->Id);
  return next;
}

void WaitBaton(std::unique_lock<std::mutex>& guard, Thread* self) {
  uint64_t seen = g_steps;
  int quiet = 0;
  while (g_current != self) {
    if (self->Baton.wait_for(guard, std::chrono::seconds(30)) == std::cv_status::timeout &&
        g_current != self && !g_failed) {
      if (g_steps != seen) {
        seen = g_steps;
        quiet = 0;
      } else if (++quiet == 4) {
        Fail("stall: thread " + std::to_string(g_current->Id) +
             " holds control but blocked outside the scheduler (last point " + g_current->Last + ")");
      }
    }
  }
}

void HandOver(std::unique_lock<std::mutex>& guard, Thread* self, Thread* next) {
  if (next == self) return;
  ++g_switches;
  g_current = next;
  next->Baton.notify_one();
  WaitBaton(guard, self);
}

void Block(const void* key, const char* what, std::unique_lock<std::mutex>* user) {
  Thread* self = tls_self;
  std::unique_lock<std::mutex> guard(g_lock);
  self->St = State::Blocked;
  self->Key = key;
  self->What = what;
  Mix(TextHash(what));
  if (user) user->unlock();
  HandOver(guard, self, Choose(self));
  guard.unlock();
  if (user) user->lock();
}

void WakeLocked(const void* key) {
  for (auto& t : g_threads) {
    if (t->St == State::Blocked && t->Key == key) {
      t->St = State::Runnable;
      t->Key = nullptr;
    }
  }
}

void Attach(Thread* self) {
  tls_self = self;
  std::unique_lock<std::mutex> guard(g_lock);
  WaitBaton(guard, self);
}

void Exit() {
  Thread* self = tls_self;
  std::unique_lock<std::mutex> guard(g_lock);
  self->St = State::Done;
  self->Last = "exit";
  WakeLocked(self);
  Thread* next = Choose(self);
  ++g_switches;
  g_current = next;
  next->Baton.notify_one();
  tls_self = nullptr;
}

void ClockThread() {
  CurrentThread().Name = "clock";
  for (;;) {
    while (clock::FireOneDue()) {
    }
    {
      std::lock_guard<std::mutex> guard(g_lock);
      if (g_stopClock) return;
    }
    Block(&g_clockKey, "the next timer", nullptr);
  }
}

}  // namespace

void Begin(const RunOptions& options) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_options = options;
    g_random.seed(options.Seed);
    g_threads.clear();
    g_byHost.clear();
    g_hash = 14695981039346656037ULL;
    g_steps = g_switches = 0;
    g_failed = false;
    g_stopClock = false;
    // One seed in four walks at random; the others are PCT runs with one to three change points.
    unsigned changes = (unsigned)(options.Seed % 4);
    g_randomWalk = changes == 0;
    g_changePoints.clear();
    g_changeDone = 0;
    for (unsigned i = 0; i < changes; ++i) g_changePoints.push_back(1 + g_random() % (options.Steps ? options.Steps : 1));
    std::sort(g_changePoints.begin(), g_changePoints.end());
    Thread* main = NewThread();
    main->Name = "scenario";
    g_current = main;
    tls_self = main;
    g_active = true;
  }
  g_clockThread = Spawn(ClockThread);
  std::lock_guard<std::mutex> guard(g_lock);
  g_clock = g_threads.back().get();
  g_clock->Name = "clock";
}

RunResult End() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stopClock = true;
    WakeLocked(&g_clockKey);
  }
  Join(g_clockThread);
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto& t : g_threads)
    if (t.get() != tls_self && t->St != State::Done)
      Fail("the run ended with thread " + std::to_string(t->Id) + " still alive");
  RunResult result{g_hash, g_steps, g_switches};
  g_active = false;
  tls_self = nullptr;
  g_current = nullptr;
  g_clock = nullptr;
  g_threads.clear();
  g_byHost.clear();
  return result;
}

namespace {
thread_local int tls_noPoints = 0;
}  // namespace

NoPoints::NoPoints() { ++tls_noPoints; }
NoPoints::~NoPoints() { --tls_noPoints; }

void Point(const char* what) {
  Thread* self = tls_self;
  if (!self || !Active() || tls_noPoints) return;
  std::unique_lock<std::mutex> guard(g_lock);
  self->Last = what;
  Mix(TextHash(what));
  HandOver(guard, self, Choose(self));
}

std::thread Spawn(std::function<void()> body) {
  if (!tls_self || !Active()) return std::thread(std::move(body));
  Thread* t;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    t = NewThread();
  }
  std::thread host([t, body = std::move(body)] {
    Attach(t);
    body();
    threads::EndForeignThread();
    Exit();
  });
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_byHost[host.get_id()] = t;
  }
  return host;
}

void Join(std::thread& host) {
  if (tls_self && Active()) {
    Thread* t = nullptr;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      auto it = g_byHost.find(host.get_id());
      if (it != g_byHost.end()) t = it->second;
    }
    if (t) {
      for (;;) {
        {
          std::lock_guard<std::mutex> guard(g_lock);
          if (t->St == State::Done) break;
        }
        Block(t, "a thread to end", nullptr);
      }
    }
  }
  if (host.joinable()) host.join();
}

bool BlockOn(const void* key, const char* what) {
  if (!tls_self || !Active()) return false;
  tls_self->Name = CurrentThread().Name;
  Block(key, what, nullptr);
  return true;
}

void Wake(const void* key) {
  if (!Active()) return;
  std::lock_guard<std::mutex> guard(g_lock);
  WakeLocked(key);
}

bool Registered() { return tls_self && Active(); }

void CondVar::wait(std::unique_lock<std::mutex>& lock, const char* what) {
  if (!Registered()) {
    cv_.wait(lock);
    return;
  }
  tls_self->Name = CurrentThread().Name;
  Block(this, what, &lock);
}

}  // namespace hk::sched

extern "C" void HkSchedulePoint(const char* what) { hk::sched::Point(what); }
