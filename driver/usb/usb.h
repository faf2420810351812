// USB requests and configuration, Plug and Play, power.
#pragma once
#include "../frame/frame.h"

NTSTATUS QueryCapabilities(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_CAPABILITIES Capabilities);
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject);

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
