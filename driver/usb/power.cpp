// Power: device power requests passed down (D0 recorded once the lower drivers have powered
// up), system power requests turned into device power requests of this driver's own, the
// power-up for use at start and the idle state at stop and removal, and wait/wake.
#include "usb.h"

namespace {

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = PoCallDriver(extension->LowerDeviceObject, Irp);
  IoDecrement(DeviceObject);
  return status;
}

VOID NTAPI DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
  PDEVICE_EXTENSION extension = ExtensionOf(fdo);
  // Every power-up asks for D0 and has a waiter; the idle state may have changed since.
  BOOLEAN powerUp = PowerState.DeviceState == PowerDeviceD0;
  // The request gives back its reference before its waiter wakes, so the waiter finds the count
  // settled; the waiter's own reference keeps the device. Nobody waits for a power-down, and the
  // device may be gone once its reference is.
  IoDecrement(fdo);
  if (powerUp) KeSetEvent(&extension->PowerRequestDoneEvent, 1, FALSE);
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE Target) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (Target == extension->CurrentPowerState) return STATUS_SUCCESS;
  IoIncrement(DeviceObject);
  extension->PowerRequestBusy = TRUE;
  BOOLEAN powerUp = Target == PowerDeviceD0;
  // Each power-up waits for its own completion.
  if (powerUp) KeClearEvent(&extension->PowerRequestDoneEvent);
  POWER_STATE state;
  state.DeviceState = Target;
  NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                      DevicePowerRequestDone, DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    extension->PowerRequestBusy = FALSE;
    IoDecrement(DeviceObject);
    return status;
  }
  if (powerUp) KeWaitForSingleObject(&extension->PowerRequestDoneEvent, Suspended, KernelMode, FALSE, NULL);
  extension->PowerRequestBusy = FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  ExtensionOf(fdo)->CurrentPowerState = PowerDeviceD0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoDecrement(fdo);
  PoStartNextPowerIrp(Irp);
  return STATUS_SUCCESS;
}

VOID NTAPI SystemPowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
  PDEVICE_EXTENSION extension = ExtensionOf(fdo);
  PIRP held = extension->HeldSystemPowerIrp;
  extension->HeldSystemPowerIrp = NULL;
  // The system request goes down only now that the device request has completed.
  if (held != NULL) {
    PoStartNextPowerIrp(held);
    IoSkipCurrentIrpStackLocation(held);
    PoCallDriver(extension->LowerDeviceObject, held);
  }
  IoDecrement(fdo);
}

NTSTATUS DevicePowerChange(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  if (state == PowerDeviceD0) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerUpCompletion, DeviceObject, TRUE, TRUE, TRUE);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
  }
  if (state >= PowerDeviceD1 && state <= PowerDeviceD3) extension->CurrentPowerState = state;
  return PassDown(DeviceObject, Irp);
}

NTSTATUS SystemPowerChange(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  DEVICE_POWER_STATE device;
  if (system == PowerSystemWorking) device = PowerDeviceD0;
  else if (extension->WakeArmed && system < PowerSystemMaximum) device = extension->Capabilities.DeviceState[system];
  else device = PowerDeviceD3;
  if (device == extension->CurrentPowerState) return PassDown(DeviceObject, Irp);

  extension->HeldSystemPowerIrp = Irp;
  IoMarkIrpPending(Irp);
  POWER_STATE state;
  state.DeviceState = device;
  NTSTATUS status = PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                      SystemPowerRequestDone, DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    // Without a device request the system request still goes down, now.
    extension->HeldSystemPowerIrp = NULL;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    PoCallDriver(extension->LowerDeviceObject, Irp);
    IoDecrement(DeviceObject);
  }
  return STATUS_PENDING;
}

NTSTATUS WaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  extension->IdlePowerState = extension->Capabilities.DeviceWake;
  // A device whose lower drivers named no wake state cannot be armed to wake.
  if (extension->CurrentPowerState == PowerDeviceD0 || extension->Capabilities.DeviceWake == PowerDeviceUnspecified ||
      extension->Capabilities.DeviceWake > extension->CurrentPowerState) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return STATUS_INVALID_DEVICE_STATE;
  }
  extension->WakeArmed = TRUE;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SyncCompletionRoutine, &event, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  NTSTATUS status = PoCallDriver(extension->LowerDeviceObject, Irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
  NTSTATUS final = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  ChangeDevicePower(DeviceObject, TRUE);
  extension->WakeArmed = FALSE;
  IoDecrement(DeviceObject);
  // The request was completed here with the status the lower drivers gave it.
  return final;
}

}  // namespace

NTSTATUS ChangeDevicePower(PDEVICE_OBJECT DeviceObject, BOOLEAN Up) {
  PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
  if (!DeviceIsReady(DeviceObject)) return STATUS_DELETE_PENDING;
  if (extension->HeldSystemPowerIrp != NULL || extension->PowerRequestBusy || ReadBooleanNoFence(&extension->DeviceRemoved))
    return STATUS_SUCCESS;
  DEVICE_POWER_STATE idle = extension->IdlePowerState;
  if (idle != PowerDeviceD1 && idle != PowerDeviceD2 && idle != PowerDeviceD3) return STATUS_SUCCESS;
  DEVICE_POWER_STATE target = Up ? PowerDeviceD0 : idle;
  KeWaitForSingleObject(DevicePowerMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = RequestDevicePower(DeviceObject, target);
  KeReleaseMutex(DevicePowerMutex, FALSE);
  return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoIncrement(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWake(DeviceObject, Irp);
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) return DevicePowerChange(DeviceObject, Irp);
      return SystemPowerChange(DeviceObject, Irp);
    default:
      return PassDown(DeviceObject, Irp);
  }
}
