// Kernel timers and the system time, on the machine's clock.
#include "clock.h"
#include "dispatcher.h"
#include "verifier.h"

using namespace hk;

extern "C" {

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  dispatcher::InitializeHeader(
      &Timer->Header, Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject, 0);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = &Timer->TimerListEntry;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (Timer->Header.Type != TimerNotificationObject && Timer->Header.Type != TimerSynchronizationObject) {
    verifier::Report("timer", "KeSetTimer on a timer that was never initialised");
    return FALSE;
  }
  if (Period != 0) verifier::Report("timer", "periodic timers are not modelled");
  return clock::SetTimer(Timer, clock::KernelDueToNow(DueTime.QuadPart), Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) { return clock::CancelTimer(Timer); }

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  return Timer->Header.SignalState > 0;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = clock::SystemTime(); }

ULONGLONG KeQueryInterruptTime(void) { return (ULONGLONG)clock::InterruptTime(); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = clock::Now() / clock::Tick(); }

ULONG KeQueryTimeIncrement(void) { return (ULONG)clock::Tick(); }

}  // extern "C"
