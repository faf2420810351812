// Write requests: accepted while the transmit buffer is nearly empty, framed, and either
// entered into the transmit buffer or held while output flow control forbids sending (then
// timed by the write total time-out). The writer thread completes a queued write once its
// data has drained.
//
// Ownership: CurrentWriteIrp is claimed at dispatch before anything else, so that one write
// never displaces another; it is taken for completion only under TxLock together with
// clearing its cancel routine, and the cancel routine takes it out under TxLock too.
#include "../serial/serial.h"
#include "transmit.h"

namespace {

// TxLock held: forgets the write's staged chunk and its unframed rest, so that nothing of a
// write that is gone is used afterwards.
VOID DropWriteData(PDEVICE_EXTENSION extension) {
  extension->TxStagedCount = 0;
  extension->TxStagePending = FALSE;
  extension->TxSourceIndex = 0;
  extension->TxSourceNext = 0;
  extension->TxSource = NULL;
  extension->TxSourceLength = 0;
}

// TxLock held: the current write is over; what is already in TxBuffer is still sent.
VOID EndCurrentWrite(PDEVICE_EXTENSION extension) {
  extension->CurrentWriteIrp = NULL;
  extension->TxHeld = FALSE;
  extension->TxWriteQueued = FALSE;
  DropWriteData(extension);
}

BOOLEAN HasFlowCharacter(PDEVICE_EXTENSION extension, const UCHAR* data, ULONG length) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);  // where SET_CHARS stores them
  UCHAR xon = extension->SerialChars.XonChar;
  UCHAR xoff = extension->SerialChars.XoffChar;
  KeReleaseSpinLock(&extension->RxLock, irql);
  for (ULONG i = 0; i < length; ++i)
    if (data[i] == xon || data[i] == xoff) return TRUE;
  return FALSE;
}

VOID ReleaseClaim(PDEVICE_EXTENSION extension, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  if (extension->CurrentWriteIrp == irp) EndCurrentWrite(extension);
  KeReleaseSpinLock(&extension->TxLock, irql);
}

// Marks a claimed write pending with its full length and arms its cancellation. A write that
// was cancelled already is completed here and FALSE returned.
BOOLEAN PendCancelable(PDEVICE_EXTENSION extension, PIRP irp, ULONG length) {
  irp->IoStatus.Information = length;
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    ReleaseClaim(extension, irp);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
    StartNextWrite(extension);
    return FALSE;
  }
  IoSetCancelRoutine(irp, WriteCancelRoutine);
  IoReleaseCancelSpinLock(irql);
  return TRUE;
}

}  // namespace

PIRP TakeCurrentWriteLocked(PDEVICE_EXTENSION Extension, BOOLEAN HeldToo) {
  PIRP irp = Extension->CurrentWriteIrp;
  // A drained buffer ends only a write whose data went into it: one that is held, or still
  // being dispatched, has sent nothing yet.
  if (irp == NULL || (!HeldToo && (Extension->TxHeld || !Extension->TxWriteQueued))) return NULL;
  if (IoSetCancelRoutine(irp, NULL) == NULL) return NULL;  // being cancelled, or not yet queued
  EndCurrentWrite(Extension);
  return irp;
}

VOID FinishWrite(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status, CCHAR Boost) {
  if (Status != STATUS_SUCCESS) Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, Boost);
  StartNextWrite(Extension);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  if (!DeviceIsReady(DeviceObject)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);

  // A write that comes while another is current, or waits, queues behind it; it is accepted
  // under the rules below once it reaches the head (StartNextWrite). Decided under TxLock, where
  // the end of the current write is recorded before the queue is looked at.
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  BOOLEAN cleanedUp = ReadBooleanNoFence(&extension->CleanedUp);
  BOOLEAN busy = extension->CurrentWriteIrp != NULL || extension->TxStagePending ||
                 !RequestQueueEmpty(&extension->WriteQueue);
  BOOLEAN queued = !cleanedUp && busy && QueueRequest(&extension->WriteQueue, Irp);
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (cleanedUp) return CompleteRequest(Irp, STATUS_CANCELLED, 0);
  if (busy) {
    if (!queued) CompleteRequest(Irp, STATUS_CANCELLED, 0);
    else if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentWrite(DeviceObject);
    return STATUS_PENDING;
  }

  KeAcquireSpinLock(&extension->TxLock, &irql);
  ULONG waiting = extension->TxCount;
  BOOLEAN framing = extension->TxSourceIndex != 0;
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (waiting > TX_ACCEPT_LIMIT || framing) {
    // A failed or cancelled transfer stops the writer with data left in the buffer: it goes on
    // now, or the port would refuse every write until it is reopened.
    if (waiting != 0) WakeWriter(extension);
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }
  if (length == 0) return CompleteRequest(Irp, STATUS_SUCCESS, 0);

  KeAcquireSpinLock(&extension->TxLock, &irql);
  cleanedUp = ReadBooleanNoFence(&extension->CleanedUp);
  busy = extension->CurrentWriteIrp != NULL || extension->TxSourceIndex != 0 || extension->TxStagePending ||
         !RequestQueueEmpty(&extension->WriteQueue);
  if (!busy && !cleanedUp) extension->CurrentWriteIrp = Irp;
  queued = !cleanedUp && busy && QueueRequest(&extension->WriteQueue, Irp);
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (cleanedUp) return CompleteRequest(Irp, STATUS_CANCELLED, 0);
  if (busy) {
    if (!queued) CompleteRequest(Irp, STATUS_CANCELLED, 0);
    else if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentWrite(DeviceObject);
    return STATUS_PENDING;
  }
  return BeginWrite(DeviceObject, Irp);
}

NTSTATUS BeginWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  KIRQL irql;
  const UCHAR* data = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
  ULONG first = length > MAX_CHUNK_CHARS ? MAX_CHUNK_CHARS : length;
  FrameWriteData(extension, data, first);
  if (length > MAX_CHUNK_CHARS) {
    extension->TxSource = (PUCHAR)data;
    extension->TxSourceLength = length;
    extension->TxSourceNext = MAX_CHUNK_CHARS;
  } else {
    extension->TxSource = NULL;
    extension->TxSourceLength = 0;
    extension->TxSourceNext = 0;
  }

  UCHAR flags = ReadUCharNoFence(&extension->FlowFlags);
  if ((flags & FLOW_OUTPUT_MASK) && !TransmitMayResume(extension, flags, ReadUCharNoFence(&extension->ModemStatus))) {
    BOOLEAN exempt = (flags & FLOW_OUT_XOFF_CONTINUE) && HasFlowCharacter(extension, data, length);
    KeAcquireSpinLock(&extension->TimeoutLock, &irql);
    SERIAL_TIMEOUTS timeouts = extension->Timeouts;
    KeReleaseSpinLock(&extension->TimeoutLock, irql);
    LONGLONG due = 0;
    if (timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0) {
      due = RelativeDueMs((ULONGLONG)timeouts.WriteTotalTimeoutMultiplier * length +
                          timeouts.WriteTotalTimeoutConstant);
    }
    extension->WriteTotalDueTime.QuadPart = due;
    if (due == 0 && !exempt) {
      ReleaseClaim(extension, Irp);
      CompleteRequest(Irp, STATUS_TIMEOUT, 0);
      StartNextWrite(extension);
      return STATUS_TIMEOUT;
    }
    if (!PendCancelable(extension, Irp, length)) return STATUS_PENDING;
    KeAcquireSpinLock(&extension->TxLock, &irql);
    BOOLEAN held = extension->CurrentWriteIrp == Irp;
    if (held) extension->TxHeld = TRUE;
    KeReleaseSpinLock(&extension->TxLock, irql);
    if (held && !exempt) {
      KeCancelTimer(&extension->WriteTotalTimer);
      extension->WriteDeadline.QuadPart = InterruptTimeNow() - due;
      KeSetTimer(&extension->WriteTotalTimer, extension->WriteTotalDueTime, &extension->WriteTotalDpc);
    }
    // Flow control may have allowed sending again while the write was being held.
    if (held && TransmitMayResume(extension, ReadUCharNoFence(&extension->FlowFlags), ReadUCharNoFence(&extension->ModemStatus)))
      ResumeHeldTransmit(extension);
    if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentWrite(DeviceObject);
    return STATUS_PENDING;
  }

  if (!PendCancelable(extension, Irp, length)) return STATUS_PENDING;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  BOOLEAN stillCurrent = extension->CurrentWriteIrp == Irp;
  if (stillCurrent) {
    // The chunk enters the buffer now, or once the writer has made room for it.
    extension->TxWriteQueued = TRUE;
    extension->TxStagePending = TRUE;
    FrameNextWriteChunkLocked(extension);
  }
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (stillCurrent) WakeWriter(extension);
  if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentWrite(DeviceObject);
  return STATUS_PENDING;
}

BOOLEAN TransmitHeld(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TxLock, &irql);
  BOOLEAN held = Extension->TxHeld;
  KeReleaseSpinLock(&Extension->TxLock, irql);
  return held;
}

VOID ResumeHeldTransmit(PDEVICE_EXTENSION Extension) {
  KeCancelTimer(&Extension->WriteTotalTimer);
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TxLock, &irql);
  BOOLEAN resumed = Extension->TxHeld && Extension->CurrentWriteIrp != NULL && Extension->TxStagedCount != 0;
  if (resumed) {
    Extension->TxHeld = FALSE;
    Extension->TxWriteQueued = TRUE;
    Extension->TxStagePending = TRUE;
    FrameNextWriteChunkLocked(Extension);
  }
  Extension->TxHeld = FALSE;
  KeReleaseSpinLock(&Extension->TxLock, irql);
  if (resumed) WakeWriter(Extension);
}

VOID NTAPI WriteTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
  KeAcquireSpinLockAtDpcLevel(&extension->TxLock);
  PIRP irp = NULL;
  // Only a write still held at its own deadline times out; a stale timer ends nothing.
  if (extension->TxHeld && InterruptTimeNow() >= extension->WriteDeadline.QuadPart)
    irp = TakeCurrentWriteLocked(extension, TRUE);
  KeReleaseSpinLockFromDpcLevel(&extension->TxLock);
  if (irp != NULL) FinishWrite(extension, irp, STATUS_TIMEOUT, IO_NO_INCREMENT);
}

VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  BOOLEAN wasHeld = extension->TxHeld;
  if (extension->CurrentWriteIrp == Irp) EndCurrentWrite(extension);
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (wasHeld) KeCancelTimer(&extension->WriteTotalTimer);
  FinishWrite(extension, Irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}

VOID AbortCurrentWrite(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  // The waiting writes and flushes first, so that the end of the current write starts none.
  CancelQueuedRequests(&extension->WriteQueue);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  PIRP irp = TakeCurrentWriteLocked(extension, TRUE);
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (irp == NULL) return;
  KeCancelTimer(&extension->WriteTotalTimer);
  FinishWrite(extension, irp, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}
