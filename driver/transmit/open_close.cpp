// Opening and closing the port.
#include "transmit.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  NTSTATUS status = CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoDecrement(DeviceObject);
  return status;
}
