// Sending one URB to the USB stack and waiting for it, and cancelling one of the driver's own
// transfers and waiting for it.
#include "../receive/receive.h"
#include "usb.h"

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject, NULL, 0,
                                           NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

USBD_PIPE_HANDLE FirstInterfacePipe(PDEVICE_EXTENSION Extension, ULONG Index) {
  if (Extension->InterfaceList == NULL || Extension->InterfaceCount == 0) return NULL;
  PINTERFACE_ENTRY entry = &Extension->InterfaceList[0];
  if (entry->Pipes == NULL || Index >= entry->PipeCount) return NULL;
  return entry->Pipes[Index].PipeInfo.PipeHandle;
}

VOID CancelTransferAndWait(PKSPIN_LOCK Lock, volatile UCHAR* State, volatile ULONG* Submitted,
                           volatile ULONG* Completed, PIRP Irp, PKEVENT IdleEvent) {
  KIRQL irql;
  UCHAR state;
  ULONG transfer;
  for (;;) {
    KeAcquireSpinLock(Lock, &irql);
    state = ReadUCharNoFence(State);
    transfer = *Submitted;
    KeReleaseSpinLock(Lock, irql);
    // A claimed transfer is settled by its submitter, which sees the caller's closing flag and
    // either gives the claim back, setting the idle event, or submits the transfer; until then
    // an open after this could share the transfer with it.
    if (state != BULK_CLAIMED) break;
    KeWaitForSingleObject(IdleEvent, Suspended, KernelMode, FALSE, NULL);
    KeResetEvent(IdleEvent);
  }
  if (state != BULK_SUBMITTED && state != BULK_COMPLETING) return;
  // Cancelled on its way, the transfer is refused by the bus; cancelled too late, it is already
  // completing. Either way its own completion is waited for: every completion sets the idle
  // event, so that of an earlier transfer only makes the count be looked at again.
  IoCancelIrp(Irp);
  while ((LONG)(transfer - ReadULongNoFence(Completed)) > 0) {
    KeWaitForSingleObject(IdleEvent, Suspended, KernelMode, FALSE, NULL);
    KeResetEvent(IdleEvent);
  }
}
