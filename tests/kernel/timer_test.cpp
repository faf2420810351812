// Timers, DPCs and timed waits in virtual time: nothing fires before its due time, everything
// fires on the clock tick that follows it, and a test moves time by milliseconds.
#include <atomic>
#include <thread>

#include "kernel/clock.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class Timers : public MachineTest {};

struct DpcProbe {
  std::atomic<int> Runs{0};
  std::atomic<KIRQL> Irql{PASSIVE_LEVEL};
  std::atomic<LONGLONG> At{-1};
  static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* probe = static_cast<DpcProbe*>(context);
    probe->Irql = KeGetCurrentIrql();
    probe->At = clock::Now();
    ++probe->Runs;
  }
};

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;
  return due;
}

TEST_F(Timers, TimerFiresOnTheTickAfterItsDueTimeAndRunsItsDpcAtDispatchLevel) {
  KTIMER timer;
  KDPC dpc;
  DpcProbe probe;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, DpcProbe::Routine, &probe);
  LONGLONG start = clock::Now();
  EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(25), &dpc));
  machine().AdvanceMs(29);
  EXPECT_EQ(probe.Runs, 0) << "a 25 ms timer waits for the 30 ms tick";
  EXPECT_FALSE(KeReadStateTimer(&timer));
  machine().AdvanceMs(1);
  EXPECT_EQ(probe.Runs, 1);
  EXPECT_EQ(probe.Irql, DISPATCH_LEVEL);
  EXPECT_EQ(probe.At - start, 30 * clock::kUnitsPerMs);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(Timers, CancelledOrResetTimerDoesNotFireEarly) {
  KTIMER timer;
  KDPC dpc;
  DpcProbe probe;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, DpcProbe::Routine, &probe);
  KeSetTimer(&timer, RelativeMs(10), &dpc);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  machine().AdvanceMs(50);
  EXPECT_EQ(probe.Runs, 0);
  KeSetTimer(&timer, RelativeMs(10), &dpc);
  EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(100), &dpc)) << "setting a pending timer again replaces it";
  machine().AdvanceMs(90);
  EXPECT_EQ(probe.Runs, 0);
  machine().AdvanceMs(20);
  EXPECT_EQ(probe.Runs, 1);
}

TEST_F(Timers, TimedWaitEndsWithStatusTimeoutOnlyWhenVirtualTimeReachesIt) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER timeout = RelativeMs(100);
    result = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  });
  while (clock::NextDue() < 0) std::this_thread::yield();  // the waiter has armed its time-out
  machine().AdvanceMs(90);
  EXPECT_EQ(result, STATUS_PENDING);
  machine().AdvanceMs(20);
  waiter.join();
  EXPECT_EQ(result, STATUS_TIMEOUT);
}

TEST_F(Timers, SystemTimeMovesInWholeTicks) {
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  machine().AdvanceMs(15);
  KeQuerySystemTime(&after);
  EXPECT_EQ(after.QuadPart - before.QuadPart, 10 * clock::kUnitsPerMs);
  EXPECT_EQ(KeQueryTimeIncrement(), 100000u);
}

TEST_F(Timers, QueuedDpcCanBeRemovedBeforeItRuns) {
  KDPC dpc;
  DpcProbe probe;
  KeInitializeDpc(&dpc, DpcProbe::Routine, &probe);
  // Hold the DPC processors busy with a DPC that waits, so that the probe stays queued.
  std::atomic<bool> release{false};
  struct Blocker {
    std::atomic<bool>* Release;
    static void Routine(PKDPC, PVOID c, PVOID, PVOID) {
      while (!*static_cast<Blocker*>(c)->Release) std::this_thread::yield();
    }
  } blocker{&release};
  KDPC blockers[2];
  for (auto& b : blockers) {
    KeInitializeDpc(&b, Blocker::Routine, &blocker);
    KeInsertQueueDpc(&b, nullptr, nullptr);
  }
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "a queued DPC is not queued twice";
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
  release = true;
  machine().Settle();
  EXPECT_EQ(probe.Runs, 0);
}

}  // namespace
}  // namespace hk::test
