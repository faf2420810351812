// The request queues. Whoever clears a queued request's cancel routine owns it: the dequeue, or
// the cancel routine, which then unlinks it under the queue lock. A request whose cancellation
// won is unlinked by the dequeue and its links pointed at itself, so that the cancel routine's
// unlink changes nothing.
#include "frame.h"

namespace {

PLIST_ENTRY LinkOf(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }

VOID Unlink(PLIST_ENTRY entry) {
  entry->Blink->Flink = entry->Flink;
  entry->Flink->Blink = entry->Blink;
  entry->Flink = entry;
  entry->Blink = entry;
}

PREQUEST_QUEUE QueueOf(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(deviceObject);
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? &extension->ReadQueue
                                                                          : &extension->WriteQueue;
}

VOID NTAPI QueuedRequestCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PREQUEST_QUEUE queue = QueueOf(DeviceObject, Irp);
  KIRQL irql;
  KeAcquireSpinLock(&queue->Lock, &irql);
  Unlink(LinkOf(Irp));
  KeReleaseSpinLock(&queue->Lock, irql);
  CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

}  // namespace

VOID InitializeRequestQueue(PREQUEST_QUEUE Queue) {
  Queue->Head.Flink = &Queue->Head;
  Queue->Head.Blink = &Queue->Head;
  KeInitializeSpinLock(&Queue->Lock);
}

BOOLEAN QueueRequest(PREQUEST_QUEUE Queue, PIRP Irp) {
  IoMarkIrpPending(Irp);
  KIRQL irql;
  KeAcquireSpinLock(&Queue->Lock, &irql);
  IoSetCancelRoutine(Irp, QueuedRequestCancelRoutine);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&Queue->Lock, irql);
    return FALSE;
  }
  // Linked even when a cancellation is already under way: its routine unlinks it.
  PLIST_ENTRY entry = LinkOf(Irp);
  entry->Flink = &Queue->Head;
  entry->Blink = Queue->Head.Blink;
  Queue->Head.Blink->Flink = entry;
  Queue->Head.Blink = entry;
  KeReleaseSpinLock(&Queue->Lock, irql);
  return TRUE;
}

PIRP DequeueRequest(PREQUEST_QUEUE Queue) { return DequeueRequestIf(Queue, NULL, NULL); }

PIRP DequeueRequestIf(PREQUEST_QUEUE Queue, REQUEST_READY_TEST MayStart, PVOID Context) {
  KIRQL irql;
  KeAcquireSpinLock(&Queue->Lock, &irql);
  PIRP found = NULL;
  while (found == NULL && Queue->Head.Flink != &Queue->Head) {
    PLIST_ENTRY entry = Queue->Head.Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (MayStart != NULL && !irp->Cancel && !MayStart(irp, Context)) break;
    Unlink(entry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) found = irp;
  }
  KeReleaseSpinLock(&Queue->Lock, irql);
  return found;
}

BOOLEAN RequestQueueEmpty(PREQUEST_QUEUE Queue) {
  KIRQL irql;
  KeAcquireSpinLock(&Queue->Lock, &irql);
  BOOLEAN empty = Queue->Head.Flink == &Queue->Head;
  KeReleaseSpinLock(&Queue->Lock, irql);
  return empty;
}

VOID CancelQueuedRequests(PREQUEST_QUEUE Queue) {
  for (PIRP irp = DequeueRequest(Queue); irp != NULL; irp = DequeueRequest(Queue))
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}
