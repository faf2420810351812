// Read requests: served from the receive buffer at once when possible, otherwise made the one
// current read and finished by new data, by the total or interval timer, by cancellation or by
// an abort, under the serial read time-out rules.
//
// Ownership: a read is one path's at a time. Whoever takes it out of CurrentReadIrp must clear
// its cancel routine in the same step (under RxLock); when that fails, a cancellation is in
// progress and the cancel routine, which finds the read in the slot, completes it. A read taken
// out is not cancellable; it goes back only through QueueRead, which re-arms cancellation and
// sees a time-out (state 5) or an abort (state 6) that arrived meanwhile.
#include "../serial/serial.h"
#include "../transmit/transmit.h"
#include "receive.h"

namespace {

const LONGLONG kBasicSettingsPause = -2400000LL;  // 240 ms

ULONG ReadLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length; }

// RxLock held.
PIRP TakeCurrentRead(PDEVICE_EXTENSION extension) {
  PIRP irp = extension->CurrentReadIrp;
  if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) return NULL;
  extension->CurrentReadIrp = NULL;
  return irp;
}

// Ends the read that this path owns: both timers are cancelled, so that a stale timer never
// ends a later read, and the next read may start.
NTSTATUS FinishRead(PDEVICE_EXTENSION extension, PIRP irp, NTSTATUS status, CCHAR boost) {
  KeCancelTimer(&extension->ReadTotalTimer);
  KeCancelTimer(&extension->ReadIntervalTimer);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  extension->ReadState = READ_IDLE;
  extension->ReadOutstanding = FALSE;
  KeReleaseSpinLock(&extension->RxLock, irql);
  if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, boost);
  // The next read in line is started by the reader thread, which may wait as a read must.
  if (!RequestQueueEmpty(&extension->ReadQueue)) KeSetEvent(&extension->ReadRequestEvent, 1, FALSE);
  return status;
}

// Makes the read current (again). Returns STATUS_PENDING when it is, or the status it must be
// completed with: cancelled, or ended by a time-out or abort that came while it was out.
NTSTATUS QueueRead(PDEVICE_EXTENSION extension, PIRP irp) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_CANCELLED;
  }
  IoSetCancelRoutine(irp, ReadCancelRoutine);
  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  UCHAR state = extension->ReadState;
  NTSTATUS status = STATUS_PENDING;
  if (state == READ_TIMED_OUT) status = STATUS_TIMEOUT;
  else if (state == READ_ABORTED) status = STATUS_CANCELLED;
  else extension->CurrentReadIrp = irp;
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  if (status != STATUS_PENDING) IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(cancelIrql);
  return status;
}

// Moves the read to state 1 unless an abort already asked for its end.
BOOLEAN BeginWaiting(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  BOOLEAN aborted = extension->ReadState == READ_ABORTED;
  if (!aborted) extension->ReadState = READ_WAITING;
  KeReleaseSpinLock(&extension->RxLock, irql);
  return !aborted;
}

// The read time-out state is TimeoutLock's: SET_TIMEOUTS changes it in one step.
UCHAR TimeoutMode(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TimeoutLock, &irql);
  UCHAR mode = extension->ReadTimeoutMode;
  KeReleaseSpinLock(&extension->TimeoutLock, irql);
  return mode;
}

VOID FinishTimedOutRead(PDEVICE_EXTENSION extension, PIRP irp) {
  ULONG length = ReadLength(irp);
  FillReadRequest(extension, irp, length, TimeoutMode(extension), TRUE);
  FinishRead(extension, irp, irp->IoStatus.Information >= length ? STATUS_SUCCESS : STATUS_TIMEOUT, IO_NO_INCREMENT);
}

VOID ArmIntervalPoll(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TimeoutLock, &irql);
  LARGE_INTEGER due = extension->IntervalPollDueTime;
  KeReleaseSpinLock(&extension->TimeoutLock, irql);
  KeSetTimer(&extension->ReadIntervalTimer, due, &extension->ReadIntervalDpc);
}

}  // namespace

VOID StartReadTimers(PDEVICE_EXTENSION Extension, ULONG Length) {
  KeCancelTimer(&Extension->ReadTotalTimer);
  KeCancelTimer(&Extension->ReadIntervalTimer);
  KeRemoveQueueDpc(&Extension->ReadTotalDpc);
  Extension->ReadTotalDeadline.QuadPart = 0x7FFFFFFFFFFFFFFFLL;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TimeoutLock, &irql);
  UCHAR mode = Extension->ReadTimeoutMode;
  SERIAL_TIMEOUTS timeouts = Extension->Timeouts;
  KeReleaseSpinLock(&Extension->TimeoutLock, irql);
  if (mode != 0) {
    ULONGLONG multiplier = mode == 2 ? 0 : timeouts.ReadTotalTimeoutMultiplier;
    Extension->ReadTotalDueTime.QuadPart =
        RelativeDueMs(multiplier * Length + timeouts.ReadTotalTimeoutConstant);
    Extension->ReadTotalDeadline.QuadPart = InterruptTimeNow() - Extension->ReadTotalDueTime.QuadPart;
    KeSetTimer(&Extension->ReadTotalTimer, Extension->ReadTotalDueTime, &Extension->ReadTotalDpc);
  }
  ULONG interval = timeouts.ReadIntervalTimeout;
  if (interval != 0 && interval != MAXULONG) {
    Extension->LastCharTime.QuadPart = InterruptTimeNow();
    ArmIntervalPoll(Extension);
  }
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (!DeviceIsReady(DeviceObject)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  ULONG length = stack->Parameters.Read.Length;
  if (length == 0) return CompleteRequest(Irp, STATUS_SUCCESS, 0);

  // One read at a time: a read that comes while another is current, or waits, queues behind it
  // (under RxLock, where FinishRead clears ReadOutstanding before it looks at the queue).
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  BOOLEAN cleanedUp = ReadBooleanNoFence(&extension->CleanedUp);
  BOOLEAN busy = extension->ReadOutstanding || !RequestQueueEmpty(&extension->ReadQueue);
  BOOLEAN queued = FALSE;
  if (!busy && !cleanedUp) {
    extension->ReadOutstanding = TRUE;
    extension->ReadState = READ_IDLE;
  } else if (busy && !cleanedUp) {
    queued = QueueRequest(&extension->ReadQueue, Irp);
  }
  KeReleaseSpinLock(&extension->RxLock, irql);
  if (cleanedUp) return CompleteRequest(Irp, STATUS_CANCELLED, 0);
  if (busy) {
    if (!queued) CompleteRequest(Irp, STATUS_CANCELLED, 0);
    // A clean-up, close or removal that began meanwhile may have missed the queued read.
    else if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentRead(DeviceObject);
    return STATUS_PENDING;
  }
  return BeginRead(DeviceObject, Irp);
}

NTSTATUS BeginRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG length = stack->Parameters.Read.Length;
  // The buffer and the time-outs as they stand when the read becomes current (RxLock before
  // TimeoutLock).
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  BOOLEAN buffered = extension->RxCount > extension->RxStatusCount;
  KeAcquireSpinLockAtDpcLevel(&extension->TimeoutLock);
  UCHAR mode = extension->ReadTimeoutMode;
  KeReleaseSpinLockFromDpcLevel(&extension->TimeoutLock);
  KeReleaseSpinLock(&extension->RxLock, irql);
  if (mode == 2) {
    length = 1;
    stack->Parameters.Read.Length = 1;
  }
  if (!buffered && mode == 1) {
    Irp->IoStatus.Information = 0;
    return FinishRead(extension, Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
  }
  if (extension->BasicSettingsActive && !buffered) {
    KTIMER pause;
    KeInitializeTimer(&pause);
    LARGE_INTEGER due;
    due.QuadPart = kBasicSettingsPause;
    DelayOnTimer(&pause, due);
    KeAcquireSpinLock(&extension->RxLock, &irql);
    ULONG count = extension->RxCount;
    buffered = count > extension->RxStatusCount;
    KeReleaseSpinLock(&extension->RxLock, irql);
    if (count == 0) {
      Irp->IoStatus.Information = 0;
      FinishRead(extension, Irp, STATUS_TIMEOUT, IO_NO_INCREMENT);
      return STATUS_TIMEOUT;
    }
  }
  if (buffered) {
    FillReadRequest(extension, Irp, length, mode, FALSE);
    ReleaseInputFlowIfRoom(extension);
    ULONG_PTR copied = Irp->IoStatus.Information;
    if (mode == 1 || (copied != 0 && (copied >= length || mode == 3)))
      return FinishRead(extension, Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
  }

  Irp->IoStatus.Information = 0;
  IoMarkIrpPending(Irp);
  // Reading stopped by a failed transfer starts again for a read that must wait for data.
  RestartBulkInIfRoom(extension);
  if (!BeginWaiting(extension)) {
    FinishRead(extension, Irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
    return STATUS_PENDING;
  }
  // Characters are buffered but too few: the reader thread fills the read and starts its
  // timers. Otherwise the timers start here, before the read can be finished by anyone else.
  if (!buffered) StartReadTimers(extension, length);
  NTSTATUS status = QueueRead(extension, Irp);
  if (status != STATUS_PENDING) {
    if (status == STATUS_TIMEOUT) FinishTimedOutRead(extension, Irp);
    else FinishRead(extension, Irp, status, IO_SERIAL_INCREMENT);
    return STATUS_PENDING;
  }
  // Characters that arrived while the read was on its way to the slot found no read to fill:
  // the reader thread is asked to look again.
  if (!buffered) {
    KeAcquireSpinLock(&extension->RxLock, &irql);
    buffered = extension->RxCount > extension->RxStatusCount;
    KeReleaseSpinLock(&extension->RxLock, irql);
  }
  if (buffered) KeSetEvent(&extension->ReadRequestEvent, 1, FALSE);
  // A clean-up, close or removal that began meanwhile may have missed the read.
  if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentRead(DeviceObject);
  return STATUS_PENDING;
}

VOID ServiceCurrentRead(PDEVICE_EXTENSION Extension, UCHAR Kind) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  PIRP irp = TakeCurrentRead(Extension);
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (irp == NULL) return;

  ULONG length = ReadLength(irp);
  UCHAR mode = TimeoutMode(Extension);
  FillReadRequest(Extension, irp, length, mode, FALSE);
  ULONG_PTR copied = irp->IoStatus.Information;
  // Time-outs changed to "return at once" while the read waited: what it took is delivered now.
  if (mode == 1 || (copied != 0 && (copied >= length || mode == 3))) {
    FinishRead(Extension, irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    return;
  }
  irp->IoStatus.Information = 0;
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  UCHAR state = Extension->ReadState;
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (ReadBooleanNoFence(&Extension->DeviceRemoved) || ReadBooleanNoFence(&Extension->PortClosed) || state == READ_IDLE || state == READ_ABORTED) {
    FinishRead(Extension, irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
    return;
  }
  if (state == READ_TIMED_OUT) {
    // The timer found the read out of its slot; the characters stay buffered.
    FinishRead(Extension, irp, STATUS_TIMEOUT, IO_NO_INCREMENT);
    return;
  }
  if (Kind == SERVICE_NEW_READ) StartReadTimers(Extension, length);
  NTSTATUS status = QueueRead(Extension, irp);
  if (status == STATUS_TIMEOUT) FinishTimedOutRead(Extension, irp);
  else if (status != STATUS_PENDING) FinishRead(Extension, irp, status, IO_SERIAL_INCREMENT);
}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  // A timer of an earlier read that fired just before it was cancelled is no one's time-out.
  if (InterruptTimeNow() < extension->ReadTotalDeadline.QuadPart || !extension->ReadOutstanding) {
    KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
    return;
  }
  PIRP irp = TakeCurrentRead(extension);
  // An abort that reached the read first keeps it cancelled.
  if (irp == NULL && extension->ReadState != READ_ABORTED) extension->ReadState = READ_TIMED_OUT;
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  if (irp != NULL) FinishTimedOutRead(extension, irp);
}

VOID NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
  // The state is RxLock's: a packet, a purge's abort or the read's end change it meanwhile.
  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  UCHAR state = extension->ReadState;
  if (state == READ_PACKET_SEEN || state == READ_PACKET_WHILE_TIMING) {
    extension->ReadState = READ_INTERVAL_TIMING;
    extension->LastCharTime.QuadPart = InterruptTimeNow();
  }
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  switch (state) {
    case READ_WAITING:
      // The interval runs only from the first packet after the read was queued.
      ArmIntervalPoll(extension);
      return;
    case READ_PACKET_SEEN:
    case READ_PACKET_WHILE_TIMING:
      ArmIntervalPoll(extension);
      return;
    case READ_INTERVAL_TIMING:
      break;
    default:
      return;
  }
  // Measured on interrupt time, so that setting the clock neither ends a read early nor holds
  // it back.
  if (InterruptTimeNow() - extension->LastCharTime.QuadPart >= extension->ReadIntervalTime.QuadPart) {
    KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
    PIRP irp = TakeCurrentRead(extension);
    if (irp == NULL && extension->ReadOutstanding && extension->ReadState != READ_ABORTED)
      extension->ReadState = READ_TIMED_OUT;
    KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
    if (irp != NULL) FinishTimedOutRead(extension, irp);
    return;
  }
  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  state = extension->ReadState;
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  if (state >= READ_WAITING && state <= READ_PACKET_WHILE_TIMING) ArmIntervalPoll(extension);
}

VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  if (extension->CurrentReadIrp == Irp) extension->CurrentReadIrp = NULL;
  KeReleaseSpinLock(&extension->RxLock, irql);
  FinishRead(extension, Irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}

VOID StartQueuedRead(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->RxLock, &irql);
    PIRP irp = NULL;
    if (!extension->ReadOutstanding) irp = DequeueRequest(&extension->ReadQueue);
    if (irp != NULL) {
      extension->ReadOutstanding = TRUE;
      extension->ReadState = READ_IDLE;
    }
    KeReleaseSpinLock(&extension->RxLock, irql);
    if (irp == NULL) return;
    // The read is looked at as it would have been had it arrived now.
    if (!DeviceIsReady(DeviceObject)) FinishRead(extension, irp, STATUS_DELETE_PENDING, IO_NO_INCREMENT);
    else if (ReadBooleanNoFence(&extension->CleanedUp)) FinishRead(extension, irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
    else if (ReadLength(irp) == 0) FinishRead(extension, irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    else BeginRead(DeviceObject, irp);
  }
}

VOID AbortCurrentRead(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  // The waiting reads first, so that the end of the current one starts none of them.
  CancelQueuedRequests(&extension->ReadQueue);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  PIRP irp = TakeCurrentRead(extension);
  // A read that is out of its slot is ended by whoever holds it when it sees the abort.
  if (irp == NULL && extension->ReadOutstanding) extension->ReadState = READ_ABORTED;
  KeReleaseSpinLock(&extension->RxLock, irql);
  if (irp != NULL) FinishRead(extension, irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}
