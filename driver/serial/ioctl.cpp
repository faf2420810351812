// Serial device-control requests.
#include "serial.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  NTSTATUS status = CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  IoDecrement(DeviceObject);
  return status;
}
