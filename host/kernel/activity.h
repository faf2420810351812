// Tracks whether the simulated machine is busy: kernel threads that are runnable, queued or
// running DPCs and work items, bus transfers due now. Virtual time only moves when it is idle,
// which makes timed behaviour deterministic although real threads run it.
#pragma once
#include <chrono>

namespace hk::activity {

void Begin();  // one more unit of work is runnable
void End();    // one unit finished or blocked
int Busy();

// Waits until nothing is runnable. Returns false (and files a verifier report) when the
// machine does not settle within the limit, which points at a livelock or a stuck thread.
bool WaitIdle(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));

}  // namespace hk::activity
