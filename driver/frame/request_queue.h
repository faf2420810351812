// Requests that wait their turn: reads, and writes with flushes, kept in arrival order until
// the one before them ends. A queued request is cancellable alone; the rest stay in order.
#pragma once
#include "platform.h"

typedef struct _REQUEST_QUEUE {
  LIST_ENTRY Head;  // IRPs linked through Tail.Overlay.ListEntry, oldest first
  KSPIN_LOCK Lock;  // covers Head and the links of the IRPs on it
} REQUEST_QUEUE, *PREQUEST_QUEUE;

VOID InitializeRequestQueue(PREQUEST_QUEUE Queue);
// Marks the request pending and appends it, cancellable. FALSE when it was cancelled already:
// it is not queued and the caller completes it.
BOOLEAN QueueRequest(PREQUEST_QUEUE Queue, PIRP Irp);
// Takes the oldest request that is not being cancelled, no longer cancellable; NULL if none.
PIRP DequeueRequest(PREQUEST_QUEUE Queue);
// The same, but only when `MayStart` says the oldest request may start now; a request that
// may not stays at the head, and those behind it wait too.
typedef BOOLEAN (*REQUEST_READY_TEST)(PIRP Irp, PVOID Context);
PIRP DequeueRequestIf(PREQUEST_QUEUE Queue, REQUEST_READY_TEST MayStart, PVOID Context);
BOOLEAN RequestQueueEmpty(PREQUEST_QUEUE Queue);
// Completes every queued request with STATUS_CANCELLED.
VOID CancelQueuedRequests(PREQUEST_QUEUE Queue);
