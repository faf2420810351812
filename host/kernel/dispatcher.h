// The dispatcher database: one lock over every dispatcher object and wait list, as in NT.
#pragma once
#include <mutex>

#include "thread_state.h"

namespace hk::dispatcher {

std::mutex& Lock();

// Called with Lock() held after an object's SignalState became positive: satisfies waiters in
// FIFO order, consuming synchronization objects as NT does.
void SignalObject(DISPATCHER_HEADER* object);

// Satisfies a waiting thread with the given status (used for time-outs). Lock() held.
void Satisfy(ThreadInfo* thread, NTSTATUS status);

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG signalState);

}  // namespace hk::dispatcher

namespace hk::dispatcher {
// Helpers over the dispatcher database; all need Lock() held.
bool IsSignaled(DISPATCHER_HEADER* object, ThreadInfo* thread);
void Consume(DISPATCHER_HEADER* object, ThreadInfo* thread);
bool AllSignaled(ThreadInfo* thread);
void UnlinkBlocks(ThreadInfo* thread);
}  // namespace hk::dispatcher
