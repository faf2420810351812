// The DPC queue, drained at DISPATCH_LEVEL by worker threads (two, like a small
// multiprocessor, so that DPCs also run concurrently with each other).
#pragma once
#include <hostddk/ddk.h>

namespace hk::dpc {

void Start(int processors = 2);
void Stop();
// True when a DPC object in [begin, end) is queued or running.
bool QueuedOrRunningIn(const void* begin, const void* end);

}  // namespace hk::dpc
