// Clean-up, file information and the internal serial requests.
#include "serial.h"

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  NTSTATUS status = CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
