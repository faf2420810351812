// The dispatcher: WaitAny priority, notification against synchronization events, mutexes.
#include <atomic>
#include <thread>
#include <vector>

#include "kernel/dispatcher.h"
#include "kernel_wait.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class Dispatcher : public MachineTest {};

TEST_F(Dispatcher, WaitAnyTakesTheLowestSignalledIndexAndConsumesOnlyIt) {
  KEVENT events[3];
  for (auto& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  KeSetEvent(&events[2], 0, FALSE);
  KeSetEvent(&events[1], 0, FALSE);
  PVOID objects[3] = {&events[0], &events[1], &events[2]};
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&events[1]), 0) << "the winner is consumed";
  EXPECT_EQ(KeReadStateEvent(&events[2]), 1) << "the others stay signalled";
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_2);
}

TEST_F(Dispatcher, NotificationEventReleasesEveryWaiterSynchronizationEventOne) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
      waiters.emplace_back([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      });
    while (true) {  // let the three threads block first
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::lock_guard<std::mutex> guard(hk::dispatcher::Lock());
      int waiting = 0;
      for (LIST_ENTRY* e = event.Header.WaitListHead.Flink; e != &event.Header.WaitListHead; e = e->Flink)
        ++waiting;
      if (waiting == 3) break;
    }
    KeSetEvent(&event, 0, FALSE);
    if (type == SynchronizationEvent) {
      // The set has already taken every waiter it releases off the wait list.
      int stillWaiting = 0;
      {
        std::lock_guard<std::mutex> guard(hk::dispatcher::Lock());
        for (LIST_ENTRY* e = event.Header.WaitListHead.Flink; e != &event.Header.WaitListHead; e = e->Flink)
          ++stillWaiting;
      }
      EXPECT_EQ(stillWaiting, 2) << "a synchronization event releases one waiter per set";
      while (woken < 1) std::this_thread::yield();
      EXPECT_LE(woken, 1) << "a synchronization event releases one waiter per set";
      EXPECT_EQ(KeReadStateEvent(&event), 0);
      KeSetEvent(&event, 0, FALSE);
      KeSetEvent(&event, 0, FALSE);
      while (woken < 2) std::this_thread::yield();
      // Setting an event that nobody waits for anymore leaves it signalled.
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken, 3);
  }
}

TEST_F(Dispatcher, MutexIsRecursiveForItsOwnerAndReleasedOnlyByIt) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 1);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  std::atomic<bool> acquired{false};
  std::atomic<ThreadInfo*> otherThread{nullptr};
  std::thread other([&] {
    otherThread = &CurrentThread();
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    acquired = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_TRUE(UntilBlockedInKernelWait(otherThread, [&] { return acquired.load(); }, &mutex));
  EXPECT_FALSE(acquired) << "one release of two recursive acquisitions keeps the mutex";
  KeReleaseMutex(&mutex, FALSE);
  other.join();
  EXPECT_TRUE(acquired);
  KeReleaseMutex(&mutex, FALSE);  // not the owner any more
  ExpectFinding("mutex");
}

}  // namespace
}  // namespace hk::test
