// The writer thread and the bulk-out transfer: chunks of at most 64 bytes of the transmit
// buffer go to pipe 1 while the adapter's credit lasts; a 64-byte IN transfer on pipe 2 asks
// for more. The completions decide what follows: send again, ask again, frame the next part
// of a long write, or complete the write and report SERIAL_EV_TXEMPTY.
//
// No wake-up is lost: a completion returns the transfer to idle before it signals the writer,
// and TxActive is cleared only under TxLock together with the test that the buffer is empty,
// with the transfer idle again before TxLock is released, so that a wake-up that sets TxActive
// after the clear finds the transfer free.
#include "../receive/receive.h"
#include "../serial/serial.h"
#include "../usb/usb.h"
#include "transmit.h"

namespace {

const ULONG kMinimumCreditUnits = 32;
const ULONG kMaximumCreditUnits = 128;
const USHORT kCreditToSend = 64;
const USHORT kCreditToFinish = 128;

VOID SetState(PDEVICE_EXTENSION extension, UCHAR state) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->BulkOutLock, &irql);
  WriteUCharNoFence(&extension->BulkOutState, state);
  KeReleaseSpinLock(&extension->BulkOutLock, irql);
}

BOOLEAN Claim(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->BulkOutLock, &irql);
  BOOLEAN idle = ReadUCharNoFence(&extension->BulkOutState) == BULK_IDLE;
  if (idle) WriteUCharNoFence(&extension->BulkOutState, BULK_CLAIMED);
  KeReleaseSpinLock(&extension->BulkOutLock, irql);
  return idle;
}

// The transfer is back from the bus: a cancel waiting for it may go on.
VOID TransferBack(PDEVICE_EXTENSION extension) {
  WriteULongNoFence(&extension->BulkOutCompleted, extension->BulkOutSubmitted);
  WriteUCharNoFence(&extension->BulkOutState, BULK_IDLE);
}

// A submission that cannot be made gives back its claim and stops the writer until the next
// wake-up (the port is closing or the device going away).
NTSTATUS Refuse(PDEVICE_EXTENSION extension, NTSTATUS status) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  extension->TxActive = FALSE;
  KeReleaseSpinLock(&extension->TxLock, irql);
  SetState(extension, BULK_IDLE);
  KeSetEvent(&extension->BulkOutIdleEvent, 1, FALSE);  // a close may wait for the claim
  return status;
}

NTSTATUS Submit(PDEVICE_EXTENSION extension, USBD_PIPE_HANDLE pipe, ULONG length, PIO_COMPLETION_ROUTINE routine) {
  PURB urb = extension->BulkOutUrb;
  PIRP irp = extension->BulkOutIrp;
  if (irp == NULL || urb == NULL) return Refuse(extension, STATUS_INSUFFICIENT_RESOURCES);
  if (pipe == NULL) return Refuse(extension, STATUS_INVALID_HANDLE);
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                         extension->BulkOutBuffer, NULL, length,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, routine, extension, TRUE, TRUE, TRUE);
  irp->Cancel = FALSE;
  // Tested under the lock that CancelBulkOutTransfer reads the state under: a close or removal
  // either stops the transfer here or finds it submitted and cancels it.
  KIRQL irql;
  KeAcquireSpinLock(&extension->BulkOutLock, &irql);
  BOOLEAN closing = ReadBooleanNoFence(&extension->DeviceRemoved) || ReadBooleanNoFence(&extension->PortClosed);
  if (!closing) {
    WriteUCharNoFence(&extension->BulkOutState, BULK_SUBMITTED);
    ++extension->BulkOutSubmitted;
  }
  KeReleaseSpinLock(&extension->BulkOutLock, irql);
  if (closing) return Refuse(extension, STATUS_CANCELLED);
  return IoCallDriver(extension->LowerDeviceObject, irp);
}

// Both completions end here when the transfer failed: the write does not succeed.
VOID TransferFailed(PDEVICE_EXTENSION extension, NTSTATUS status) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  extension->TxActive = FALSE;
  PIRP write = TakeCurrentWriteLocked(extension, TRUE);
  TransferBack(extension);
  KeReleaseSpinLock(&extension->TxLock, irql);
  KeSetEvent(&extension->BulkOutIdleEvent, 1, FALSE);
  if (write != NULL) {
    KeCancelTimer(&extension->WriteTotalTimer);
    FinishWrite(extension, write, status == STATUS_CANCELLED ? STATUS_CANCELLED : status, IO_NO_INCREMENT);
  }
}

// A transfer that came back after close or removal: the writer stops, and the current write
// is left to close or removal.
VOID CameBackClosed(PDEVICE_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  extension->TxActive = FALSE;
  TransferBack(extension);
  KeReleaseSpinLock(&extension->TxLock, irql);
  KeSetEvent(&extension->BulkOutIdleEvent, 1, FALSE);
}

// The buffer may have drained: frame what waits for it, then decide whether to send, ask for
// credit, or finish the write.
VOID AfterTransfer(PDEVICE_EXTENSION extension, BOOLEAN freshCredit) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  USHORT credit = extension->TxCredit;
  if (extension->TxCount == 0) FrameNextWriteChunkLocked(extension);
  ULONG count = extension->TxCount;
  PIRP write = NULL;
  BOOLEAN finished = count == 0 && (freshCredit || credit > kCreditToFinish);
  if (finished) {
    extension->TxActive = FALSE;
    write = TakeCurrentWriteLocked(extension, FALSE);
  }
  TransferBack(extension);
  KeReleaseSpinLock(&extension->TxLock, irql);
  KeSetEvent(&extension->BulkOutIdleEvent, 1, FALSE);
  if (count != 0) {
    KeSetEvent((freshCredit || credit >= kCreditToSend) ? &extension->TxDataEvent : &extension->TxCreditEvent, 1, FALSE);
  } else if (!finished) {
    KeSetEvent(&extension->TxCreditEvent, 1, FALSE);
  } else if (write != NULL) {
    FinishWrite(extension, write, STATUS_SUCCESS, IO_NO_INCREMENT);
    if (ReadULongNoFence(&extension->WaitMask) & SERIAL_EV_TXEMPTY) {
      RecordEvents(extension, SERIAL_EV_TXEMPTY);
      KeInsertQueueDpc(&extension->EventDpc, NULL, NULL);
    }
  }
  // The drained buffer may let a queued write or flush go.
  if (finished) StartNextWrite(extension);
}

}  // namespace

NTSTATUS StartWriterThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (extension->WriterThreadObject != NULL) return STATUS_UNSUCCESSFUL;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                         WriterThreadRoutine, DeviceObject);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                     &extension->WriterThreadObject, NULL);
  if (!NT_SUCCESS(status) || extension->WriterThreadObject == NULL) {
    extension->WriterThreadObject = NULL;
    // The thread runs already and must not outlive this failure, with nothing left to stop it
    // by: it is stopped now, and waited for until it has really ended (its exit event comes
    // just before), its object kept alive meanwhile by the handle still open.
    KeSetEvent(&extension->WriterStopEvent, 0, FALSE);
    KeWaitForSingleObject(&extension->WriterExitedEvent, Executive, KernelMode, FALSE, NULL);
    if (extension->WriterExitingThread != NULL)  // some kernels give no current thread object
      KeWaitForSingleObject(extension->WriterExitingThread, Executive, KernelMode, FALSE, NULL);
    KeResetEvent(&extension->WriterExitedEvent);
    if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
  }
  ZwClose(handle);
  return status;
}

NTSTATUS StopWriterThread(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (extension->WriterThreadObject == NULL) return STATUS_SUCCESS;
  KeSetEvent(&extension->WriterStopEvent, 0, FALSE);
  KeWaitForSingleObject(&extension->WriterExitedEvent, Executive, KernelMode, TRUE, NULL);
  if (extension->WriterThreadObject != NULL) {
    KeWaitForSingleObject(extension->WriterThreadObject, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(extension->WriterThreadObject);
    extension->WriterThreadObject = NULL;
  }
  KeResetEvent(&extension->WriterExitedEvent);
  return STATUS_SUCCESS;
}

VOID NTAPI WriterThreadRoutine(PVOID StartContext) {
  PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)StartContext;
  PDEVICE_EXTENSION extension = ExtensionOf(deviceObject);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  // Stop first, then sending, then the credit query.
  PVOID events[3] = {&extension->WriterStopEvent, &extension->TxDataEvent, &extension->TxCreditEvent};
  for (;;) {
    NTSTATUS status = KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
    if (status == STATUS_WAIT_0) break;
    if (status == STATUS_WAIT_1) {
      KeResetEvent(&extension->TxDataEvent);
      SendNextChunk(deviceObject);
    } else if (status == STATUS_WAIT_2) {
      KeResetEvent(&extension->TxCreditEvent);
      SubmitCreditQuery(deviceObject);
    }
  }
  KeResetEvent(&extension->WriterStopEvent);
  extension->WriterExitingThread = KeGetCurrentThread();
  KeSetEvent(&extension->WriterExitedEvent, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS SendNextChunk(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (!Claim(extension)) return STATUS_DEVICE_BUSY;

  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  ULONG count = extension->TxCount;
  if (count == 0) {
    extension->TxActive = FALSE;
    KeReleaseSpinLock(&extension->TxLock, irql);
    SetState(extension, BULK_IDLE);
    KeSetEvent(&extension->BulkOutIdleEvent, 1, FALSE);
    return STATUS_SUCCESS;
  }
  // A modem-control unit at the front goes alone; one at the very end waits for a later chunk.
  // The packet is taken from the head and nothing else moves: one packet's work under TxLock.
  PUCHAR front = &extension->TxBuffer[extension->TxHead];
  ULONG n;
  if ((front[0] & UNIT_KIND_MASK) == UNIT_MODEM_CONTROL) {
    n = 2;
  } else {
    n = count;
    if ((front[count - 2] & UNIT_KIND_MASK) == UNIT_MODEM_CONTROL) n -= 2;
    if (n > BULK_OUT_CHUNK) n = BULK_OUT_CHUNK;
  }
  if (n > extension->TxCredit) n = extension->TxCredit;
  extension->TxCredit = (USHORT)(extension->TxCredit - n);
  RtlCopyMemory(extension->BulkOutBuffer, front, n);
  RtlZeroMemory(&extension->BulkOutBuffer[n], TRANSFER_BUFFER_SIZE - n);
  extension->BulkOutLength = n;
  extension->TxCount -= n;
  extension->TxHead = extension->TxCount != 0 ? extension->TxHead + n : 0;
  KeReleaseSpinLock(&extension->TxLock, irql);
  return SubmitBulkOut(extension);
}

NTSTATUS SubmitBulkOut(PDEVICE_EXTENSION Extension) {
  USBD_PIPE_HANDLE pipe = Extension->Pipe1Handle != NULL ? Extension->Pipe1Handle : FirstInterfacePipe(Extension, 1);
  return Submit(Extension, pipe, Extension->BulkOutLength, BulkOutCompletion);
}

NTSTATUS SubmitCreditQuery(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (!Claim(extension)) return STATUS_DEVICE_BUSY;
  RtlZeroMemory(extension->BulkOutBuffer, TRANSFER_BUFFER_SIZE);
  USBD_PIPE_HANDLE pipe = extension->Pipe2Handle != NULL ? extension->Pipe2Handle : FirstInterfacePipe(extension, 2);
  return Submit(extension, pipe, TRANSFER_BUFFER_SIZE, CreditQueryCompletion);
}

NTSTATUS NTAPI BulkOutCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
  WriteUCharNoFence(&extension->BulkOutState, BULK_COMPLETING);
  // The IRP is this driver's own, with no stack location of its own to mark pending.
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    TransferFailed(extension, Irp->IoStatus.Status);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (ReadBooleanNoFence(&extension->PortClosed) || ReadBooleanNoFence(&extension->DeviceRemoved)) {
    ClearEvents(extension, 0);
    WriteUCharNoFence(&extension->ModemStatus, 0);
    CameBackClosed(extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  AfterTransfer(extension, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI CreditQueryCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
  WriteUCharNoFence(&extension->BulkOutState, BULK_COMPLETING);
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    TransferFailed(extension, Irp->IoStatus.Status);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (ReadBooleanNoFence(&extension->PortClosed) || ReadBooleanNoFence(&extension->DeviceRemoved)) {
    CameBackClosed(extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ULONG received = extension->BulkOutUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  ULONG units = received >= 2 ? ((ULONG)extension->BulkOutBuffer[0] << 8) | extension->BulkOutBuffer[1] : 0;
  if (units < kMinimumCreditUnits || units > kMaximumCreditUnits) {
    // Not a credit the adapter can mean: ask again.
    TransferBack(extension);
    KeSetEvent(&extension->BulkOutIdleEvent, 1, FALSE);
    KeSetEvent(&extension->TxCreditEvent, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  KIRQL irql;
  KeAcquireSpinLock(&extension->TxLock, &irql);
  extension->TxCredit = (USHORT)(2 * units);
  KeReleaseSpinLock(&extension->TxLock, irql);
  AfterTransfer(extension, TRUE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelBulkOutTransfer(PDEVICE_EXTENSION Extension) {
  CancelTransferAndWait(&Extension->BulkOutLock, &Extension->BulkOutState, &Extension->BulkOutSubmitted,
                        &Extension->BulkOutCompleted, Extension->BulkOutIrp, &Extension->BulkOutIdleEvent);
}
