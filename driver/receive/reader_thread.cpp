// The reader thread and the bulk-in transfer: one transfer at a time on pipe 0, whose
// completion stores the packet and wakes the thread to serve the current read and submit the
// next one.
#include "../serial/serial.h"
#include "../transmit/transmit.h"
#include "../usb/usb.h"
#include "receive.h"

NTSTATUS StartReaderThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (extension->ReaderThreadObject != NULL) return STATUS_UNSUCCESSFUL;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                         ReaderThreadRoutine, DeviceObject);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                     &extension->ReaderThreadObject, NULL);
  if (!NT_SUCCESS(status) || extension->ReaderThreadObject == NULL) {
    extension->ReaderThreadObject = NULL;
    // The thread runs already and must not outlive this failure, with nothing left to stop it
    // by: it is stopped now, and waited for until it has really ended (its exit event comes
    // just before), its object kept alive meanwhile by the handle still open.
    KeSetEvent(&extension->ReaderStopEvent, 0, FALSE);
    KeWaitForSingleObject(&extension->ReaderExitedEvent, Executive, KernelMode, FALSE, NULL);
    if (extension->ReaderExitingThread != NULL)  // some kernels give no current thread object
      KeWaitForSingleObject(extension->ReaderExitingThread, Executive, KernelMode, FALSE, NULL);
    KeResetEvent(&extension->ReaderExitedEvent);
    if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
  }
  ZwClose(handle);
  return status;
}

NTSTATUS StopReaderThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (extension->ReaderThreadObject == NULL) return STATUS_SUCCESS;
  KeSetEvent(&extension->ReaderStopEvent, 0, FALSE);
  KeWaitForSingleObject(&extension->ReaderExitedEvent, Executive, KernelMode, TRUE, NULL);
  if (extension->ReaderThreadObject != NULL) {
    KeWaitForSingleObject(extension->ReaderThreadObject, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(extension->ReaderThreadObject);
    extension->ReaderThreadObject = NULL;
  }
  KeResetEvent(&extension->ReaderExitedEvent);
  return STATUS_SUCCESS;
}

VOID NTAPI ReaderThreadRoutine(PVOID StartContext) {
  PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)StartContext;
  PDEVICE_EXTENSION extension = ExtensionOf(deviceObject);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  // A stop request goes first, then new data, then a new read.
  PVOID events[3] = {&extension->ReaderStopEvent, &extension->BulkInEvent, &extension->ReadRequestEvent};
  for (;;) {
    NTSTATUS status = KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
    if (status == STATUS_WAIT_0) break;
    if (status == STATUS_WAIT_1) {
      KeResetEvent(&extension->BulkInEvent);
      ServiceReceivedData(deviceObject);
    } else if (status == STATUS_WAIT_2) {
      KeResetEvent(&extension->ReadRequestEvent);
      ServiceNewRead(deviceObject);
    }
  }
  KeResetEvent(&extension->ReaderStopEvent);
  extension->ReaderExitingThread = KeGetCurrentThread();
  KeSetEvent(&extension->ReaderExitedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID ServiceReceivedData(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  BOOLEAN characters = extension->RxCount > extension->RxStatusCount;
  KeReleaseSpinLock(&extension->RxLock, irql);
  if (characters) ServiceCurrentRead(extension, SERVICE_NEW_DATA);
  KeInsertQueueDpc(&extension->EventDpc, NULL, NULL);
  SubmitBulkIn(extension);
}

VOID ServiceNewRead(PDEVICE_OBJECT DeviceObject) {
  StartQueuedRead(DeviceObject);
  ServiceCurrentRead(ExtensionOf(DeviceObject), SERVICE_NEW_READ);
}

namespace {

// The transfer is back from the bus: a cancel waiting for it may go on.
VOID TransferBack(PDEVICE_EXTENSION extension) {
  WriteULongNoFence(&extension->BulkInCompleted, extension->BulkInSubmitted);
  WriteUCharNoFence(&extension->BulkInState, BULK_IDLE);
}

VOID ReleaseClaim(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->BulkInLock, &irql);
  WriteUCharNoFence(&extension->BulkInState, BULK_IDLE);
  KeReleaseSpinLock(&extension->BulkInLock, irql);
  KeSetEvent(&extension->BulkInIdleEvent, 1, FALSE);  // a close may wait for the claim
}

// BulkInActive is RxLock's: written there by whoever starts or pauses reading.
VOID SetReadingActive(PDEVICE_EXTENSION extension, BOOLEAN active) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  extension->BulkInActive = active;
  KeReleaseSpinLock(&extension->RxLock, irql);
}

BOOLEAN ReadingActive(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->RxLock, &irql);
  BOOLEAN active = extension->BulkInActive;
  KeReleaseSpinLock(&extension->RxLock, irql);
  return active;
}

}  // namespace

NTSTATUS SubmitBulkIn(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->BulkInLock, &irql);
  BOOLEAN busy = ReadUCharNoFence(&Extension->BulkInState) != BULK_IDLE;
  if (!busy) WriteUCharNoFence(&Extension->BulkInState, BULK_CLAIMED);
  KeReleaseSpinLock(&Extension->BulkInLock, irql);
  if (busy) return STATUS_DEVICE_BUSY;

  RtlZeroMemory(Extension->BulkInBuffer, TRANSFER_BUFFER_SIZE);
  USBD_PIPE_HANDLE pipe = Extension->BulkInPipe != NULL ? Extension->BulkInPipe : FirstInterfacePipe(Extension, 0);
  // A refused submission gives its claim back, so that reading is not stuck busy.
  if (pipe == NULL) {
    ReleaseClaim(Extension);
    return STATUS_INVALID_HANDLE;
  }
  if (Extension->BulkInIrp == NULL || Extension->BulkInUrb == NULL) {
    ReleaseClaim(Extension);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Room is tested at submission too, under the lock reading is paused and restarted under: a
  // stale wake-up must not submit a transfer the buffer has no room for. A read that makes room
  // after this restarts reading through the event again.
  KeAcquireSpinLock(&Extension->RxLock, &irql);
  BOOLEAN room = Extension->RxCount + TRANSFER_BUFFER_SIZE <= RX_BUFFER_SIZE;
  if (!room) Extension->BulkInActive = FALSE;
  KeReleaseSpinLock(&Extension->RxLock, irql);
  if (!room) {
    ReleaseClaim(Extension);
    return STATUS_DEVICE_BUSY;
  }
  PURB urb = Extension->BulkInUrb;
  PIRP irp = Extension->BulkInIrp;
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                         Extension->BulkInBuffer, NULL, TRANSFER_BUFFER_SIZE,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, BulkInCompletion, Extension, TRUE, TRUE, TRUE);
  irp->Cancel = FALSE;

  // Tested under the lock that CancelBulkInTransfer reads the state under: a close or removal
  // either stops the transfer here or finds it submitted and cancels it.
  KeAcquireSpinLock(&Extension->BulkInLock, &irql);
  BOOLEAN closing = ReadBooleanNoFence(&Extension->DeviceRemoved) || ReadBooleanNoFence(&Extension->PortClosed) ||
                    ReadBooleanNoFence(&Extension->RemovePending);
  WriteUCharNoFence(&Extension->BulkInState, closing ? BULK_IDLE : BULK_SUBMITTED);
  if (!closing) ++Extension->BulkInSubmitted;
  KeReleaseSpinLock(&Extension->BulkInLock, irql);
  if (closing) {
    KeSetEvent(&Extension->BulkInIdleEvent, 1, FALSE);  // a close may wait for the claim
    return STATUS_CANCELLED;
  }
  return IoCallDriver(Extension->LowerDeviceObject, irp);
}

NTSTATUS NTAPI BulkInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
  WriteUCharNoFence(&extension->BulkInState, BULK_COMPLETING);
  // The IRP is this driver's own, with no stack location of its own to mark pending.

  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    // A failed or cancelled transfer reads as a break on the line; reading stops.
    SetReadingActive(extension, FALSE);
    RecordEvents(extension, SERIAL_EV_BREAK);
    RecordCommErrors(extension, SERIAL_ERROR_BREAK);
    // Unless the transfer ended because the port is closing or the device going (which end the
    // wait themselves), no more data would carry the break to a waiting application: it is
    // reported now. Reading is tried again a while later, not at once, so that a transfer that
    // keeps failing cannot keep the reader thread busy, and a read or wait already pending is
    // not left waiting for good.
    if (Irp->IoStatus.Status != STATUS_CANCELLED && !ReadBooleanNoFence(&extension->PortClosed) && !ReadBooleanNoFence(&extension->DeviceRemoved)) {
      KeInsertQueueDpc(&extension->EventDpc, NULL, NULL);
      LARGE_INTEGER retry;
      retry.QuadPart = BULK_IN_RETRY_DUE_TIME;
      KeSetTimer(&extension->BulkInRetryTimer, retry, &extension->BulkInRetryDpc);
    }
    TransferBack(extension);
    // A read or purge that restarted reading since the clear above found the transfer busy: it
    // is answered here, as on success.
    if (ReadingActive(extension)) KeSetEvent(&extension->BulkInEvent, 1, FALSE);
    KeSetEvent(&extension->BulkInIdleEvent, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (ReadBooleanNoFence(&extension->PortClosed) || ReadBooleanNoFence(&extension->DeviceRemoved)) {
    SetReadingActive(extension, FALSE);
    ClearEvents(extension, 0);
    WriteUCharNoFence(&extension->ModemStatus, 0);
    TransferBack(extension);
    KeSetEvent(&extension->BulkInIdleEvent, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // Only whole units of at most one packet are taken; a trailing half unit is dropped.
  ULONG length = extension->BulkInUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (length > TRANSFER_BUFFER_SIZE) length = TRANSFER_BUFFER_SIZE;
  length &= ~1UL;
  AppendBulkInPacket(extension, length);

  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  BOOLEAN aboveHighWater = extension->RxCount + TRANSFER_BUFFER_SIZE > RX_HIGH_WATER;
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  if ((ReadUCharNoFence(&extension->FlowFlags) & FLOW_INPUT_MASK) && aboveHighWater)
    SetReceiveFlowControl(extension->FunctionalDeviceObject, TRUE);

  // Decided under the lock that a read restarting reading takes, so that room made meanwhile is
  // never missed by both.
  KeAcquireSpinLockAtDpcLevel(&extension->RxLock);
  BOOLEAN room = extension->RxCount + TRANSFER_BUFFER_SIZE <= RX_BUFFER_SIZE;
  if (!room) extension->BulkInActive = FALSE;
  KeReleaseSpinLockFromDpcLevel(&extension->RxLock);
  if (!room) {
    // Overrun: reading pauses until a read makes room; nothing received is discarded.
    RecordEvents(extension, SERIAL_EV_ERR);
    RecordCommErrors(extension, SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN);
  }
  // Idle before the wake-up, so that the resubmission it asks for finds the transfer free; a
  // read that made room since the test above restarted reading and is answered here too.
  TransferBack(extension);
  if (ReadingActive(extension)) KeSetEvent(&extension->BulkInEvent, 1, FALSE);
  KeSetEvent(&extension->BulkInIdleEvent, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelBulkInTransfer(PDEVICE_EXTENSION Extension) {
  CancelTransferAndWait(&Extension->BulkInLock, &Extension->BulkInState, &Extension->BulkInSubmitted,
                        &Extension->BulkInCompleted, Extension->BulkInIrp, &Extension->BulkInIdleEvent);
}

VOID NTAPI BulkInRetryDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
  if (ReadBooleanNoFence(&extension->DeviceOpen) && !ReadBooleanNoFence(&extension->PortClosed) && !ReadBooleanNoFence(&extension->DeviceRemoved) && !ReadBooleanNoFence(&extension->RemovePending))
    RestartBulkInIfRoom(extension);
}
