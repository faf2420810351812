// The IRPs and URBs of the bulk transfers and of the control requests, allocated once at
// start and reused for the life of the device.
#include "../usb/usb.h"
#include "receive.h"

namespace {

const ULONG kRequiredPipes = 3;

VOID FreeIfSet(PVOID* p) {
  if (*p != NULL) ExFreePool(*p);
  *p = NULL;
}

}  // namespace

NTSTATUS AllocateTransferResources(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PINTERFACE_ENTRY first = extension->InterfaceList;
  if (first == NULL || first->Pipes == NULL) return STATUS_INVALID_HANDLE;
  // The reader and the writer take pipes 0, 1 and 2 of the first interface by position.
  if (first->PipeCount < kRequiredPipes) return STATUS_DEVICE_CONFIGURATION_ERROR;

  // A start after a stop keeps the requests of the first start; only the pipes are new.
  if (extension->BulkInIrp == NULL) {
    CCHAR stackSize = (CCHAR)(extension->LowerDeviceObject->StackSize + 1);
    PIRP inIrp = IoAllocateIrp(stackSize, FALSE);
    PURB inUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), ORVIX_POOL_TAG);
    PIRP outIrp = IoAllocateIrp(stackSize, FALSE);
    PURB outUrb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), ORVIX_POOL_TAG);
    PURB controlUrb =
        (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), ORVIX_POOL_TAG);
    PURB unconfigureUrb =
        (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION), ORVIX_POOL_TAG);
    if (inIrp == NULL || inUrb == NULL || outIrp == NULL || outUrb == NULL || controlUrb == NULL ||
        unconfigureUrb == NULL) {
      if (inIrp != NULL) IoFreeIrp(inIrp);
      if (outIrp != NULL) IoFreeIrp(outIrp);
      FreeIfSet((PVOID*)&inUrb);
      FreeIfSet((PVOID*)&outUrb);
      FreeIfSet((PVOID*)&controlUrb);
      FreeIfSet((PVOID*)&unconfigureUrb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    extension->BulkInIrp = inIrp;
    extension->BulkInUrb = inUrb;
    extension->BulkOutIrp = outIrp;
    extension->BulkOutUrb = outUrb;
    extension->ControlUrb = controlUrb;
    extension->UnconfigureUrb = unconfigureUrb;
  }
  extension->BulkInPipe = first->Pipes[0].PipeInfo.PipeHandle;
  extension->Pipe1Handle = first->Pipes[1].PipeInfo.PipeHandle;
  extension->Pipe2Handle = first->Pipes[2].PipeInfo.PipeHandle;
  return STATUS_SUCCESS;
}

VOID FreeTransferResources(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (extension->BulkInIrp != NULL) IoFreeIrp(extension->BulkInIrp);
  extension->BulkInIrp = NULL;
  FreeIfSet((PVOID*)&extension->BulkInUrb);
  FreeIfSet((PVOID*)&extension->ControlUrb);
  FreeIfSet((PVOID*)&extension->UnconfigureUrb);
  if (extension->BulkOutIrp != NULL) IoFreeIrp(extension->BulkOutIrp);
  extension->BulkOutIrp = NULL;
  FreeIfSet((PVOID*)&extension->BulkOutUrb);
  extension->BulkInPipe = NULL;
  extension->Pipe1Handle = NULL;
  extension->Pipe2Handle = NULL;
}
