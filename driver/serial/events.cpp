// Serial events and the wait-on-mask request, and the output flow-control state that the
// receive and transmit paths share.
//
// The pending wait is completed exactly once: every path that completes it first clears its
// cancel routine; a path that finds the routine already gone leaves the request to the
// cancellation in progress, whose routine takes it out of the device state under EventLock.
#include "../receive/receive.h"
#include "../transmit/transmit.h"
#include "serial.h"

namespace {

const ULONG kValidEvents = 0x1FFF;
const ULONG kHoldCts = 0x01;
const ULONG kHoldDsr = 0x02;
const ULONG kHoldXon = 0x08;

// Takes the pending wait out of the device state; EventLock held.
PIRP TakePendingWait(PDEVICE_EXTENSION extension) {
  PIRP irp = extension->WaitIrp;
  if (!extension->WaitPending || irp == NULL) return NULL;
  if (IoSetCancelRoutine(irp, NULL) == NULL) return NULL;  // being cancelled
  extension->WaitIrp = NULL;
  extension->WaitPending = FALSE;
  return irp;
}

// Reads and clears the event word in one step, so that no event recorded meanwhile is lost.
ULONG TakeEvents(PDEVICE_EXTENSION extension) {
  return (ULONG)InterlockedExchange((LONG volatile*)&extension->EventsSeen, 0);
}

VOID CompleteWait(PIRP irp, ULONG events, CCHAR boost) {
  *(PULONG)irp->AssociatedIrp.SystemBuffer = events;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = sizeof(ULONG);
  IoCompleteRequest(irp, boost);
}

}  // namespace

VOID RecordEvents(PDEVICE_EXTENSION Extension, ULONG Events) {
  if (Events != 0) AtomicOr(&Extension->EventsSeen, Events);
}

VOID ClearEvents(PDEVICE_EXTENSION Extension, ULONG Keep) {
  AtomicAnd(&Extension->EventsSeen, Keep);
}

VOID RecordCommErrors(PDEVICE_EXTENSION Extension, ULONG Errors) {
  AtomicOr(&Extension->CommErrors, Errors);
}

NTSTATUS GetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = ReadULongNoFence(&Extension->WaitMask);
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS SetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
  if (mask & ~kValidEvents) return STATUS_INVALID_PARAMETER;
  ClearEvents(Extension, mask);

  // WaitMask is EventLock's; the event DPC's first look outside the lock is tested again inside.
  KIRQL irql;
  KeAcquireSpinLock(&Extension->EventLock, &irql);
  WriteULongNoFence(&Extension->WaitMask, mask);
  PIRP wait = TakePendingWait(Extension);
  KeReleaseSpinLock(&Extension->EventLock, irql);
  if (wait != NULL) CompleteWait(wait, 0, IO_SERIAL_INCREMENT);
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

NTSTATUS WaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;

  KIRQL irql;
  KeAcquireSpinLock(&Extension->EventLock, &irql);
  if (ReadBooleanNoFence(&Extension->CleanedUp)) {
    KeReleaseSpinLock(&Extension->EventLock, irql);
    Irp->IoStatus.Information = 0;
    return STATUS_CANCELLED;
  }
  if (Extension->WaitPending || Extension->WaitMask == 0) {
    KeReleaseSpinLock(&Extension->EventLock, irql);
    return STATUS_INVALID_PARAMETER;
  }
  if (ReadULongNoFence(&Extension->EventsSeen) & Extension->WaitMask) {
    ULONG matched = TakeEvents(Extension) & Extension->WaitMask;
    KeReleaseSpinLock(&Extension->EventLock, irql);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = matched;
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Extension->EventLock, irql);
    Irp->IoStatus.Information = 0;
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, WaitCancelRoutine);
  IoReleaseCancelSpinLock(cancelIrql);
  Extension->WaitIrp = Irp;
  Extension->WaitPending = TRUE;
  KeReleaseSpinLock(&Extension->EventLock, irql);
  return STATUS_PENDING;
}

VOID NTAPI EventDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  BOOLEAN full = extension->RxCount >= RX_80_PERCENT;
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  if (full) RecordEvents(extension, SERIAL_EV_RX80FULL);
  if ((ReadULongNoFence(&extension->EventsSeen) & ReadULongNoFence(&extension->WaitMask)) == 0) return;

  // Tested again under the lock: a wait that completed meanwhile may have taken the match, and
  // the wait pending now must not be completed with nothing.
  KeAcquireSpinLockAtDpcLevel(&extension->EventLock);
  PIRP wait = (ReadULongNoFence(&extension->EventsSeen) & extension->WaitMask) != 0 ? TakePendingWait(extension) : NULL;
  ULONG matched = 0;
  if (wait != NULL) matched = TakeEvents(extension) & extension->WaitMask;
  KeReleaseSpinLockFromDpcLevel(&extension->EventLock);
  if (wait != NULL) CompleteWait(wait, matched, IO_NO_INCREMENT);
}

VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&extension->EventLock, &irql);
  if (extension->WaitIrp == Irp) {
    extension->WaitIrp = NULL;
    extension->WaitPending = FALSE;
    TakeEvents(extension);
  }
  KeReleaseSpinLock(&extension->EventLock, irql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID CancelPendingWait(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->EventLock, &irql);
  PIRP wait = TakePendingWait(Extension);
  if (wait != NULL) {
    wait->IoStatus.Status = STATUS_CANCELLED;
    wait->IoStatus.Information = 0;
    IoCompleteRequest(wait, IO_SERIAL_INCREMENT);
  }
  KeReleaseSpinLock(&Extension->EventLock, irql);
}

NTSTATUS SetXoff(PDEVICE_EXTENSION Extension) {
  Extension->TxXonState = FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS SetXon(PDEVICE_EXTENSION Extension) {
  Extension->TxXonState = TRUE;
  if (TransmitHeld(Extension) && TransmitMayResume(Extension, ReadUCharNoFence(&Extension->FlowFlags), ReadUCharNoFence(&Extension->ModemStatus)))
    ResumeHeldTransmit(Extension);
  return STATUS_SUCCESS;
}

BOOLEAN TransmitMayResume(PDEVICE_EXTENSION Extension, UCHAR Flags, UCHAR Modem) {
  volatile ULONG* holds = &Extension->TxHoldReasons;
  BOOLEAN allowed = TRUE;
  if (Flags & FLOW_OUT_CTS) {
    if (Modem & MODEM_CTS) {
      AtomicAnd(holds, ~kHoldCts);
    } else {
      AtomicOr(holds, kHoldCts);
      allowed = FALSE;
    }
  }
  if (Flags & FLOW_OUT_DSR) {
    if (Modem & MODEM_DSR) {
      AtomicAnd(holds, ~kHoldDsr);
    } else {
      AtomicOr(holds, kHoldDsr);
      allowed = FALSE;
    }
  }
  if (Flags & FLOW_OUT_XONXOFF) {
    if (Extension->TxXonState) {
      AtomicAnd(holds, ~kHoldXon);
    } else {
      AtomicOr(holds, kHoldXon);
      return FALSE;
    }
  }
  if (allowed) InterlockedExchange((LONG volatile*)holds, 0);
  return allowed;
}
