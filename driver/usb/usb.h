// USB requests and configuration, Plug and Play, power.
#pragma once
#include "../frame/frame.h"

// Requests to the USB stack and the adapter's configuration.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_CAPABILITIES Capabilities);
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject);
// The pipe handle of pipe `Index` of the first interface, or NULL when there is no such pipe.
USBD_PIPE_HANDLE FirstInterfacePipe(PDEVICE_EXTENSION Extension, ULONG Index);
// Cancels one of the driver's own transfers (its state and count read under `Lock`) and waits
// until that transfer's completion has counted it in `Completed` and set `IdleEvent`, so that
// nothing submits it again while the bus owns it.
VOID CancelTransferAndWait(PKSPIN_LOCK Lock, volatile UCHAR* State, volatile ULONG* Submitted,
                           volatile ULONG* Completed, PIRP Irp, PKEVENT IdleEvent);

// Plug and Play and power.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ChangeDevicePower(PDEVICE_OBJECT DeviceObject, BOOLEAN Up);
