// Write requests.
#include "transmit.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
