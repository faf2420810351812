// Events, mutexes and the two wait routines, over the dispatcher lock.
#include "dispatcher.h"

#include <cstdio>

#include "activity.h"
#include "clock.h"
#include "irql.h"
#include "scheduler.h"
#include "verifier.h"

namespace hk::dispatcher {
namespace {
std::mutex g_dispatcherLock;
}  // namespace

void InitList(LIST_ENTRY* head) { head->Flink = head->Blink = head; }

void InsertTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
  entry->Flink = head;
  entry->Blink = head->Blink;
  head->Blink->Flink = entry;
  head->Blink = entry;
}

void RemoveEntry(LIST_ENTRY* entry) {
  entry->Blink->Flink = entry->Flink;
  entry->Flink->Blink = entry->Blink;
  entry->Flink = entry->Blink = entry;
}

bool IsSignaled(DISPATCHER_HEADER* object, ThreadInfo* thread) {
  if (object->Type == MutantObject) {
    auto* mutex = CONTAINING_RECORD(object, KMUTEX, Header);
    return object->SignalState > 0 || mutex->OwnerThread == thread->Object;
  }
  return object->SignalState > 0;
}

// Consumes the object for the thread whose wait it satisfies.
void Consume(DISPATCHER_HEADER* object, ThreadInfo* thread) {
  switch (object->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      object->SignalState = 0;
      break;
    case MutantObject: {
      auto* mutex = CONTAINING_RECORD(object, KMUTEX, Header);
      object->SignalState--;
      mutex->OwnerThread = thread->Object;
      break;
    }
    default:
      break;
  }
}

void UnlinkBlocks(ThreadInfo* thread) {
  for (ULONG i = 0; i < thread->WaitCount; ++i) RemoveEntry(&thread->Blocks[i].Link);
  thread->WaitCount = 0;
}

bool AllSignaled(ThreadInfo* thread) {
  for (ULONG i = 0; i < thread->WaitCount; ++i)
    if (!IsSignaled(thread->Blocks[i].Object, thread)) return false;
  return true;
}

std::mutex& Lock() { return g_dispatcherLock; }

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG signalState) {
  std::lock_guard<std::mutex> guard(g_dispatcherLock);
  header->Type = type;
  header->Absolute = 0;
  header->Size = 0;
  header->Inserted = 0;
  header->SignalState = signalState;
  InitList(&header->WaitListHead);
}

void Satisfy(ThreadInfo* thread, NTSTATUS status) {
  if (!thread->Waiting || thread->Satisfied) return;
  UnlinkBlocks(thread);
  thread->Satisfied = true;
  thread->WaitStatus = status;
  // The woken thread is runnable from this moment, before it is scheduled: counting it here
  // keeps the machine from looking idle in between.
  if (thread->Counted) activity::Begin();
  thread->WaitSignal.notify_one();
}

void SignalObject(DISPATCHER_HEADER* object) {
  LIST_ENTRY* head = &object->WaitListHead;
  if (head->Flink == nullptr) return;  // never initialised; reported by the caller's checks
  LIST_ENTRY* entry = head->Flink;
  while (entry != head && object->SignalState > 0) {
    auto* block = CONTAINING_RECORD(entry, WaitBlock, Link);
    LIST_ENTRY* next = entry->Flink;
    ThreadInfo* thread = block->Thread;
    bool satisfied = false;
    if (thread->WaitType == WaitAny) {
      if (IsSignaled(object, thread)) {
        Consume(object, thread);
        Satisfy(thread, STATUS_WAIT_0 + (NTSTATUS)block->Index);
        satisfied = true;
      }
    } else if (AllSignaled(thread)) {
      for (ULONG i = 0; i < thread->WaitCount; ++i) Consume(thread->Blocks[i].Object, thread);
      Satisfy(thread, STATUS_WAIT_0);
      satisfied = true;
    }
    // Satisfying a waiter unlinks all its blocks; start again from the head in that case.
    entry = satisfied ? head->Flink : next;
  }
}

}  // namespace hk::dispatcher

using namespace hk;

namespace {

// Under the dispatcher lock, where other threads' waits link themselves into the list.
bool HeaderLooksInitialized(DISPATCHER_HEADER* header) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  return header->WaitListHead.Flink != nullptr && header->WaitListHead.Blink != nullptr;
}

NTSTATUS WaitForObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, PLARGE_INTEGER timeout,
                        const char* routine) {
  ThreadInfo& self = CurrentThread();
  bool zeroTimeout = timeout && timeout->QuadPart == 0;
  if (!zeroTimeout) {
    if (self.Irql >= DISPATCH_LEVEL)
      verifier::Report("irql", std::string(routine) + " waits at IRQL " +
                                   std::to_string(self.Irql) + " (must be below DISPATCH_LEVEL)");
    if (!self.HeldLocks.empty())
      verifier::Report("irql", std::string(routine) + " waits while holding a spin lock");
  }
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
    verifier::Report("wait", std::string(routine) + " with an invalid object count");
    return STATUS_INVALID_PARAMETER;
  }
  if (count > THREAD_WAIT_OBJECTS && waitType == WaitAny && objects == nullptr)
    return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) {
    auto* header = (DISPATCHER_HEADER*)objects[i];
    if (!header || !HeaderLooksInitialized(header)) {
      verifier::Report("wait", std::string(routine) + " on an object that was never initialised");
      return STATUS_INVALID_PARAMETER;
    }
  }

  sched::Point("wait");
  std::unique_lock<std::mutex> guard(dispatcher::Lock());
  // Already signalled: WaitAny takes the lowest index, WaitAll needs all of them.
  if (waitType == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      auto* header = (DISPATCHER_HEADER*)objects[i];
      if (dispatcher::IsSignaled(header, &self)) {
        dispatcher::Consume(header, &self);
        return STATUS_WAIT_0 + (NTSTATUS)i;
      }
    }
  }
  self.WaitType = waitType;
  self.WaitCount = count;
  for (ULONG i = 0; i < count; ++i) {
    auto* header = (DISPATCHER_HEADER*)objects[i];
    self.Blocks[i].Object = header;
    self.Blocks[i].Thread = &self;
    self.Blocks[i].Index = i;
    LIST_ENTRY* head = &header->WaitListHead;
    LIST_ENTRY* entry = &self.Blocks[i].Link;
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
  }
  self.Waiting = true;
  self.Satisfied = false;
  if (waitType == WaitAll && dispatcher::AllSignaled(&self)) {
    for (ULONG i = 0; i < count; ++i) dispatcher::Consume(self.Blocks[i].Object, &self);
    dispatcher::UnlinkBlocks(&self);
    self.Waiting = false;
    return STATUS_WAIT_0;
  }
  if (zeroTimeout) {
    dispatcher::UnlinkBlocks(&self);
    self.Waiting = false;
    return STATUS_TIMEOUT;
  }
  uint64_t timeoutId = 0;
  if (timeout) {
    ThreadInfo* me = &self;
    LONGLONG due = clock::KernelDueToNow(timeout->QuadPart);
    timeoutId = clock::ScheduleOnTick(due, [me] {
      std::lock_guard<std::mutex> g(dispatcher::Lock());
      dispatcher::Satisfy(me, STATUS_TIMEOUT);
    });
  }
  if (self.Counted) activity::End();
  self.WaitSignal.wait(guard, [&] { return self.Satisfied; }, routine);
  self.Waiting = false;
  NTSTATUS status = self.WaitStatus;
  guard.unlock();
  if (timeoutId) clock::Cancel(timeoutId);
  return status;
}

}  // namespace

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  dispatcher::InitializeHeader(
      &Event->Header,
      Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
      State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  if (Wait) verifier::Report("wait", "KeSetEvent with Wait TRUE is not supported by this driver's rules");
  if (!HeaderLooksInitialized(&Event->Header)) {
    verifier::Report("wait", "KeSetEvent on an event that was never initialised");
    return 0;
  }
  sched::Point("KeSetEvent");
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(dispatcher::Lock());
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    dispatcher::SignalObject(&Event->Header);
  }
  sched::Point("KeSetEvent done");
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  sched::Point("KeResetEvent");
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

void KeClearEvent(PRKEVENT Event) {
  sched::Point("KeClearEvent");
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  return Event->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  dispatcher::InitializeHeader(&Mutex->Header, MutantObject, 1);
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  Mutex->Level = Level;
  Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  ThreadInfo& self = CurrentThread();
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(dispatcher::Lock());
    previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != self.Object) {
      verifier::Report("mutex", "KeReleaseMutex by a thread that does not own the mutex");
      return previous;
    }
    Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
      Mutex->OwnerThread = nullptr;
      dispatcher::SignalObject(&Mutex->Header);
    }
  }
  sched::Point("KeReleaseMutex");
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  return Mutex->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  PVOID objects[1] = {Object};
  return WaitForObjects(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
    verifier::Report("wait", "KeWaitForMultipleObjects with more than three objects needs a wait block array");
    return STATUS_INVALID_PARAMETER;
  }
  return WaitForObjects(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, *Interval, nullptr);
  NTSTATUS status = KeWaitForSingleObject(&timer, Executive, WaitMode, Alertable, nullptr);
  return status == STATUS_WAIT_0 ? STATUS_SUCCESS : status;
}

}  // extern "C"
