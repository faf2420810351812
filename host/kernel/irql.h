// IRQL per thread, spin locks and the lock-order graph the verifier checks them against.
#pragma once
#include <hostddk/ddk.h>

#include <functional>

namespace hk::locks {

// Forgets every lock inside [begin, end), when that memory is freed.
void ForgetRange(const void* begin, const void* end);
// True when the current thread holds a spin lock inside [begin, end).
bool HeldIn(const void* begin, const void* end);
PKSPIN_LOCK CancelSpinLock();
// Gives a lock a readable name in reports.
void Name(PKSPIN_LOCK lock, const char* name);
void ResetGraph();

// Runs `hook` in any thread each time that thread comes back below DISPATCH_LEVEL, the moment at
// which Windows runs the DPCs queued on its processor. Tests use it to put a completion or an
// arrival into the exact window of a dispatch routine they examine. Not re-entered; nullptr
// removes it.
void SetBelowDispatchHook(std::function<void()> hook);

// Where another processor could step in: before a spin lock is taken, right after it is
// released, and as a DPC is queued (the lock or the KDPC is passed along).
enum class InterleavePoint { BeforeAcquire, AfterRelease, QueueDpc };
// Runs `hook` in the running thread at every such point, whatever the IRQL (completion routines
// and DPCs included). Tests use it to hold a window of a path open, deterministically, while
// another thread acts. Not re-entered; nullptr removes it.
void SetInterleaveHook(std::function<void(const void* object, InterleavePoint point)> hook);
void AtInterleavePoint(const void* object, InterleavePoint point);

}  // namespace hk::locks
