// Flushes and the write queue. Writes and flushes wait in one queue in the order they came; the
// head starts when no write is current. A write at the head becomes current once the transmit
// buffer holds no more than a write is accepted with; a flush at the head completes once the
// buffer is empty, that is, once every write before it has left the buffer. Purge TXABORT,
// clean-up, close and removal cancel the queue with the current write (AbortCurrentWrite).
#include "../serial/serial.h"
#include "transmit.h"

namespace {

UCHAR MajorOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction; }

// TxLock held (with the queue lock inside it).
BOOLEAN MayStart(PIRP irp, PVOID context) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)context;
  ULONG limit = MajorOf(irp) == IRP_MJ_FLUSH_BUFFERS ? 0 : TX_ACCEPT_LIMIT;
  return extension->TxCount <= limit;
}

// Starts or completes the request at the head of the queue. FALSE when there was none that
// could go now.
BOOLEAN StartOne(PDEVICE_EXTENSION extension) {
  PDEVICE_OBJECT deviceObject = extension->FunctionalDeviceObject;
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  PIRP irp = NULL;
  BOOLEAN idle = extension->CurrentWriteIrp == NULL && !extension->TxStagePending && extension->TxSourceIndex == 0;
  if (idle) irp = DequeueRequestIf(&extension->WriteQueue, MayStart, extension);
  BOOLEAN waiting = idle && irp == NULL && !RequestQueueEmpty(&extension->WriteQueue);
  BOOLEAN write = irp != NULL && MajorOf(irp) == IRP_MJ_WRITE &&
                  IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length != 0;
  BOOLEAN ready = DeviceIsReady(deviceObject) && !ReadBooleanNoFence(&extension->CleanedUp);
  if (write && ready) extension->CurrentWriteIrp = irp;
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (irp == NULL) {
    // The head waits for the buffer to drain: a writer stopped by a failed transfer goes on.
    if (waiting && extension->TxCount != 0) WakeWriter(extension);
    return FALSE;
  }
  if (!DeviceIsReady(deviceObject)) CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
  else if (!ready) CompleteRequest(irp, STATUS_CANCELLED, 0);
  else if (write) BeginWrite(deviceObject, irp);
  else CompleteRequest(irp, STATUS_SUCCESS, 0);
  return TRUE;
}

}  // namespace

VOID StartNextWrite(PDEVICE_EXTENSION Extension) {
  // Whoever comes first does the work for everyone who comes meanwhile, so that a chain of
  // writes ending at once neither recurses nor is started twice.
  if (InterlockedIncrement(&Extension->WriteQueueStarting) != 1) return;
  do {
    while (StartOne(Extension)) {
    }
  } while (InterlockedDecrement(&Extension->WriteQueueStarting) != 0);
}

NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (!DeviceIsReady(DeviceObject)) return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  BOOLEAN cleanedUp = ReadBooleanNoFence(&extension->CleanedUp);
  BOOLEAN queued = !cleanedUp && QueueRequest(&extension->WriteQueue, Irp);
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (cleanedUp) return CompleteRequest(Irp, STATUS_CANCELLED, 0);
  if (!queued) {
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  // With nothing before it, the flush completes here.
  StartNextWrite(extension);
  // A clean-up, close or removal that began meanwhile may have missed it.
  if (!DeviceIsReady(DeviceObject) || ReadBooleanNoFence(&extension->CleanedUp)) AbortCurrentWrite(DeviceObject);
  return STATUS_PENDING;
}
