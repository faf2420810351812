// Per-thread kernel state: the thread object the driver sees as PKTHREAD, its IRQL, the spin
// locks it holds and its wait context. Threads the host did not create (tests, applications)
// get one lazily on their first kernel call.
#pragma once
#include <hostddk/ddk.h>

#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <string>
#include <vector>

#include "scheduler.h"

namespace hk {

struct WaitBlock {
  LIST_ENTRY Link;  // in the object's WaitListHead
  DISPATCHER_HEADER* Object;
  struct ThreadInfo* Thread;
  ULONG Index;
};

struct ThreadInfo {
  std::string Name;
  bool System = false;   // created by PsCreateSystemThread
  bool Counted = false;  // its runnable time counts as machine activity
  KPRIORITY Priority = 8;
  KIRQL Irql = PASSIVE_LEVEL;
  bool InDpc = false;  // running a DPC routine, on a DPC processor or inline on this thread
  std::vector<PKSPIN_LOCK> HeldLocks;
  // Dispatcher wait state, guarded by the dispatcher lock.
  sched::CondVar WaitSignal;
  bool Waiting = false;
  bool Satisfied = false;
  NTSTATUS WaitStatus = STATUS_SUCCESS;
  WAIT_TYPE WaitType = WaitAny;
  ULONG WaitCount = 0;
  WaitBlock Blocks[MAXIMUM_WAIT_OBJECTS];
  // System-thread exit.
  std::jmp_buf ExitJump;
  bool CanExit = false;
  struct _KTHREAD* Object = nullptr;
};

ThreadInfo& CurrentThread();

}  // namespace hk

// The thread object: a dispatcher object signalled when the thread terminates.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  hk::ThreadInfo* Info;
  std::atomic<long> References;
  bool Terminated;
};
