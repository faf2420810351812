// Opening and closing the port: the adapter's open and close requests, the per-open reset of
// the receive and transmit state, and the end of everything in flight at close.
#include "../receive/receive.h"
#include "../serial/serial.h"
#include "transmit.h"

namespace {

VOID ResetForOpen(PDEVICE_EXTENSION extension) {
  extension->FlowFlags = 0;
  extension->RxFlowHolds = 0;
  extension->TxHoldReasons = 0;
  extension->RxQueueCapacity = 800000;
  extension->ModemControl = UNIT_DATA;
  extension->BulkOutLength = 0;
  extension->RxCount = 0;
  extension->RxStatusCount = 0;
  extension->TxCount = 0;
  extension->TxStagedCount = 0;
  extension->TxStagePending = FALSE;
  extension->WaitPending = FALSE;
  extension->BulkInState = BULK_IDLE;
  extension->BulkOutState = BULK_IDLE;
  extension->WaitMask = 0;
  extension->EventsSeen = 0;
  extension->TxActive = FALSE;
  extension->BulkInActive = FALSE;
  extension->TxCredit = 256;
  extension->ReadTimeoutMode = 0;
  extension->ReadState = READ_IDLE;
  extension->ReadOutstanding = FALSE;
  extension->TxHeld = FALSE;
  extension->TxWriteQueued = FALSE;
  extension->TxXonState = TRUE;
  extension->ReadTotalDueTime.QuadPart = -600000000LL;
  extension->WriteTotalDueTime.QuadPart = 0;
  extension->IntervalPollDueTime.QuadPart = -10000000LL;
  extension->CurrentReadIrp = NULL;
  extension->CurrentWriteIrp = NULL;
  extension->TxSource = NULL;
  extension->TxSourceIndex = 0;
  extension->TxSourceLength = 0;
  extension->TxSourceNext = 0;
  extension->CommErrors = 0;
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  WriteBooleanNoFence(&extension->PortClosed, FALSE);
  NTSTATUS status;
  // The port is claimed before the adapter is asked, under the lock a query-stop tests it under,
  // so that a query-stop meanwhile finds it open, and an open after an accepted query-stop finds
  // the device not ready.
  KIRQL irql;
  KeAcquireSpinLock(&extension->OpenLock, &irql);
  BOOLEAN ready = DeviceIsReady(DeviceObject);
  BOOLEAN open = extension->DeviceOpen;
  if (ready && !open) extension->DeviceOpen = TRUE;
  KeReleaseSpinLock(&extension->OpenLock, irql);
  if (!ready) {
    status = STATUS_DELETE_PENDING;
  } else if (open) {
    status = STATUS_ACCESS_DENIED;
  } else {
    status = SendPortCommand(DeviceObject, PORT_REQUEST_OPEN);
    if (!NT_SUCCESS(status)) {
      KeAcquireSpinLock(&extension->OpenLock, &irql);
      extension->DeviceOpen = FALSE;
      KeReleaseSpinLock(&extension->OpenLock, irql);
    } else {
      extension->CleanedUp = FALSE;
      SetDefaultSerialSettings(extension, FALSE);
      ResetForOpen(extension);
      // Active before the first transfer, whose completion may already say otherwise.
      extension->BulkInActive = TRUE;
      SubmitBulkIn(extension);
    }
  }
  CompleteRequest(Irp, status, 0);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS status = STATUS_ACCESS_DENIED;
  if (extension->DeviceOpen) {
    WriteBooleanNoFence(&extension->PortClosed, TRUE);
    CancelBulkInTransfer(extension);
    // After the transfer is back, so that no failed completion can arm the retry again.
    KeCancelTimer(&extension->BulkInRetryTimer);
    KeRemoveQueueDpc(&extension->BulkInRetryDpc);
    CancelBulkOutTransfer(extension);
    AbortCurrentRead(DeviceObject);
    AbortCurrentWrite(DeviceObject);
    CancelPendingWait(extension);
    SendPortCommand(DeviceObject, PORT_REQUEST_CLOSE);
    status = STATUS_SUCCESS;
  }
  extension->DeviceOpen = FALSE;
  CompleteRequest(Irp, status, 0);
  IoDecrement(DeviceObject);
  return status;
}
