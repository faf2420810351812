// Plug and Play requests for the port's device object.
#include "usb.h"

namespace {

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
  IoDecrement(DeviceObject);
  return status;
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  IoIncrement(DeviceObject);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(extension, Irp, NotificationEvent, Suspended);
      if (NT_SUCCESS(status)) extension->DeviceStarted = TRUE;
      CompleteRequest(Irp, status, 0);
      IoDecrement(DeviceObject);
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL: {
      IoDecrement(DeviceObject);
      extension->DeviceRemoved = TRUE;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
      RemovePortName(extension);
      return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
      RemovePortName(extension);
      IoDecrement(DeviceObject);
      extension->DeviceRemoved = TRUE;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
      IoDecrement(DeviceObject);
      KeWaitForSingleObject(&extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
      ReleaseDeviceResources(DeviceObject);
      IoDetachDevice(extension->LowerDeviceObject);
      IoDeleteDevice(DeviceObject);
      return status;
    }
    default:
      return PassDown(DeviceObject, Irp);
  }
}

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  ReleaseDeviceInterface(extension);
  if (extension->DeviceName.Buffer != NULL) {
    ExFreePool(extension->DeviceName.Buffer);
    extension->DeviceName.Buffer = NULL;
  }
  extension->RxQueueCapacity = 0;
  return STATUS_SUCCESS;
}
