// The machine's clock. In virtual mode time moves only when a test advances it, and each due
// timer or scheduled event fires with the machine idle before and after it; in real mode a
// clock thread fires them as wall-clock time passes. Kernel timers fire on clock-tick
// boundaries, as they do on Windows; host events (the bus's transfer timing) fire exactly.
#pragma once
#include <hostddk/ddk.h>

#include <cstdint>
#include <functional>

namespace hk::clock {

enum class Mode { Virtual, Real };

constexpr LONGLONG kUnitsPerMs = 10000;
constexpr LONGLONG kDefaultTick = 100000;  // 10 ms, the uniprocessor clock tick of NT
constexpr LONGLONG kEpoch = 134116992000000000LL;  // 2026-01-01 as a system time

void Start(Mode mode, LONGLONG tick = kDefaultTick);
void Stop();
Mode CurrentMode();
LONGLONG Now();         // time since start, in 100-ns units
LONGLONG SystemTime();  // what KeQuerySystemTime reports: updated once per tick
LONGLONG InterruptTime();  // what KeQueryInterruptTime reports: time since start, once per tick
// The machine's user sets its clock: system time moves by `units` (back when negative), and
// with it absolute due times; interrupt time and relative timers do not move.
void SetClock(LONGLONG units);
LONGLONG Tick();

// Host events, fired at exactly `due` (Now() units) outside any kernel lock.
uint64_t Schedule(LONGLONG due, std::function<void()> callback);
bool Cancel(uint64_t id);
// Converts a kernel due time (negative relative, positive absolute system time) to Now() units,
// rounded up to the next clock tick.
LONGLONG KernelDueToNow(LONGLONG dueTime);
// Schedules on the tick grid, used for dispatcher wait time-outs.
uint64_t ScheduleOnTick(LONGLONG due, std::function<void()> callback);

// Kernel timers.
BOOLEAN SetTimer(PKTIMER timer, LONGLONG due, PKDPC dpc);
BOOLEAN CancelTimer(PKTIMER timer);
// True when a pending timer or its DPC object lies in [begin, end): used when memory is freed.
bool PendingTimerIn(const void* begin, const void* end);

// Virtual mode: moves time forward by `units`, firing everything that falls due on the way.
void Advance(LONGLONG units);
inline void AdvanceMs(LONGLONG ms) { Advance(ms * kUnitsPerMs); }
// Virtual mode: time of the next pending event, or -1.
LONGLONG NextDue();
// Controlled scheduling: moves virtual time forward to `due`, and fires one entry due by now
// (false when none is).
void JumpTo(LONGLONG due);
bool FireOneDue();

}  // namespace hk::clock
