// Opening and closing the port: the adapter's open and close requests, the per-open reset of
// the receive and transmit state, and the end of everything in flight at close.
#include "../receive/receive.h"
#include "../serial/serial.h"
#include "../usb/usb.h"
#include "transmit.h"

namespace {

// DeviceIsReady with the port's closing flag aside: an open clears it, or is refused as one while
// the port is open when it meets a close still running.
BOOLEAN ReadyForOpen(PDEVICE_EXTENSION extension) {
  return !ReadBooleanNoFence(&extension->DeviceRemoved) && ReadBooleanNoFence(&extension->DeviceStarted) &&
         !ReadBooleanNoFence(&extension->RemovePending) && !ReadBooleanNoFence(&extension->StopPending);
}

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
  WriteUCharNoFence(&extension->BulkInState, BULK_IDLE);
  WriteUCharNoFence(&extension->BulkOutState, BULK_IDLE);
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

// The adapter keeps its lines from the previous session: open brings them to what the restored
// handshaking says (DTR with SERIAL_DTR_CONTROL, RTS with SERIAL_RTS_CONTROL), as one
// modem-control unit at the head of the stream, so that ModemControl and the lines agree.
VOID RaiseLinesForOpen(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  UCHAR control = UNIT_DATA;
  if ((extension->Handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL) control |= MODEM_CONTROL_DTR;
  if ((extension->Handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL) control |= MODEM_CONTROL_RTS;
  extension->ModemControl = control;
  QueueModemControlWord(DeviceObject);
}

// Close hangs up: both lines go down before the adapter's close request. The writer no longer
// sends once the port is closed, so the unit goes out here, on its own, and is waited for (a
// second at most: an adapter that holds it back does not hold the close); it needs one unit of
// the credit left, without which the adapter would have no room for it.
VOID LowerLinesForClose(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  USBD_PIPE_HANDLE pipe = extension->Pipe1Handle != NULL ? extension->Pipe1Handle : FirstInterfacePipe(extension, 1);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  extension->ModemControl = UNIT_DATA;
  BOOLEAN send = pipe != NULL && !ReadBooleanNoFence(&extension->DeviceRemoved) && extension->TxCredit >= 2;
  if (send) extension->TxCredit = (USHORT)(extension->TxCredit - 2);
  KeReleaseSpinLock(&extension->TxLock, irql);
  if (!send) return;
  UCHAR unit[2] = {(UCHAR)(UNIT_MODEM_CONTROL | (UNIT_DATA & 0x0F)), 0};
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, unit,
                                         NULL, sizeof(unit), USBD_TRANSFER_DIRECTION_OUT, NULL);
  // The IRP stays this routine's until it is freed here, so that a cancel after the time-out can
  // never reach one that has gone.
  PIRP irp = IoAllocateIrp(extension->LowerDeviceObject->StackSize, FALSE);
  if (irp == NULL) return;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(irp, SyncCompletionRoutine, &done, TRUE, TRUE, TRUE);
  IoCallDriver(extension->LowerDeviceObject, irp);
  LARGE_INTEGER patience;
  patience.QuadPart = -10000000LL;  // 1 second
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &patience) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  IoFreeIrp(irp);
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS status;
  // The port is claimed before the adapter is asked, under the lock a query-stop tests it under,
  // so that a query-stop meanwhile finds it open, and an open after an accepted query-stop finds
  // the device not ready.
  KIRQL irql;
  KeAcquireSpinLock(&extension->OpenLock, &irql);
  BOOLEAN open = ReadBooleanNoFence(&extension->DeviceOpen);
  // An open clears the last session's closing flag, but not while that session's close is still
  // running: the flag keeps the transfers the close stops from starting again behind it.
  if (!open) WriteBooleanNoFence(&extension->PortClosed, FALSE);
  BOOLEAN ready = ReadyForOpen(extension);
  if (ready && !open) WriteBooleanNoFence(&extension->DeviceOpen, TRUE);
  KeReleaseSpinLock(&extension->OpenLock, irql);
  if (!ready) {
    status = STATUS_DELETE_PENDING;
  } else if (open) {
    status = STATUS_ACCESS_DENIED;
  } else {
    status = SendPortCommand(DeviceObject, PORT_REQUEST_OPEN);
    if (!NT_SUCCESS(status)) {
      KeAcquireSpinLock(&extension->OpenLock, &irql);
      WriteBooleanNoFence(&extension->DeviceOpen, FALSE);
      KeReleaseSpinLock(&extension->OpenLock, irql);
    } else {
      WriteBooleanNoFence(&extension->CleanedUp, FALSE);
      SetDefaultSerialSettings(extension, FALSE);
      ResetForOpen(extension);
      RaiseLinesForOpen(DeviceObject);
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
  KIRQL irql;
  if (ReadBooleanNoFence(&extension->DeviceOpen)) {
    KeAcquireSpinLock(&extension->OpenLock, &irql);
    WriteBooleanNoFence(&extension->PortClosed, TRUE);
    KeReleaseSpinLock(&extension->OpenLock, irql);
    CancelBulkInTransfer(extension);
    // After the transfer is back, so that no failed completion can arm the retry again.
    KeCancelTimer(&extension->BulkInRetryTimer);
    KeRemoveQueueDpc(&extension->BulkInRetryDpc);
    CancelBulkOutTransfer(extension);
    AbortCurrentRead(DeviceObject);
    AbortCurrentWrite(DeviceObject);
    CancelPendingWait(extension);
    LowerLinesForClose(DeviceObject);
    SendPortCommand(DeviceObject, PORT_REQUEST_CLOSE);
    status = STATUS_SUCCESS;
  }
  KeAcquireSpinLock(&extension->OpenLock, &irql);
  WriteBooleanNoFence(&extension->DeviceOpen, FALSE);
  KeReleaseSpinLock(&extension->OpenLock, irql);
  CompleteRequest(Irp, status, 0);
  IoDecrement(DeviceObject);
  return status;
}
