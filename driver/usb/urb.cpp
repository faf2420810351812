// Sending one URB to the USB stack and waiting for it.
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
