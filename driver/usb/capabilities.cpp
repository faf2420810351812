// The device capabilities, asked of the lower drivers when the device is added.
#include "usb.h"

namespace {

// Nothing known: no wake, no sleeping state the device follows.
VOID ResetCapabilities(PDEVICE_CAPABILITIES Capabilities) {
  RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = 1;
  Capabilities->Address = 0xFFFFFFFF;
  Capabilities->UINumber = 0xFFFFFFFF;
}

}  // namespace

NTSTATUS QueryCapabilities(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_CAPABILITIES Capabilities) {
  ResetCapabilities(Capabilities);
  PIRP irp = IoAllocateIrp(LowerDeviceObject->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
  IoSetCompletionRoutine(irp, SyncCompletionRoutine, &event, TRUE, TRUE, TRUE);
  // Plug and Play requests start as "not supported" until a driver handles them.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

  NTSTATUS status = IoCallDriver(LowerDeviceObject, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  // What a failed request left in the structure is not an answer.
  if (!NT_SUCCESS(status)) ResetCapabilities(Capabilities);
  return status;
}
