// Power requests for the port's device object.
#include "usb.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  IoIncrement(DeviceObject);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = PoCallDriver(extension->LowerDeviceObject, Irp);
  IoDecrement(DeviceObject);
  return status;
}
