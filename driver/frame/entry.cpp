// Driver entry, the dispatch table, unload, system-control pass-down, and the two helpers that
// every request path uses to finish or synchronously forward a request.
#include "../serial/serial.h"
#include "../transmit/transmit.h"
#include "../receive/receive.h"
#include "../usb/usb.h"
#include "frame.h"

ULONG NextDeviceNumber;
PKMUTEX DevicePowerMutex;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  // Numbering starts afresh with every load of the image.
  NextDeviceNumber = 0;

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
  DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
  DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;

  // Without the mutex no device could change its power state safely: refuse to load.
  DevicePowerMutex = (PKMUTEX)ExAllocatePoolWithTag(NonPagedPool, sizeof(KMUTEX), ORVIX_POOL_TAG);
  if (DevicePowerMutex == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeMutex(DevicePowerMutex, 1);
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  if (DevicePowerMutex != NULL) {
    ExFreePool(DevicePowerMutex);
    DevicePowerMutex = NULL;
  }
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower = ExtensionOf(DeviceObject)->LowerDeviceObject;
  IoIncrement(DeviceObject);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  NTSTATUS status = IoCallDriver(lower, Irp);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI SyncCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_EXTENSION Extension, PIRP Irp, EVENT_TYPE EventType,
                        KWAIT_REASON WaitReason) {
  KEVENT event;
  KeInitializeEvent(&event, EventType, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SyncCompletionRoutine, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Extension->LowerDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, WaitReason, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}
