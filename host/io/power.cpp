// The power manager's routines: power IRPs go down with PoCallDriver, and the device power
// requests a driver asks for with PoRequestPowerIrp travel from the top of the device's stack,
// dispatched by the power worker as the system's power threads would.
#include "../kernel/faults.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"
#include "../kernel/worker.h"
#include "io_manager.h"

using namespace hk;
using namespace hk::io;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    verifier::Report("power", "PoCallDriver with a request that is not a power request");
  return IofCallDriver(DeviceObject, Irp);
}

void PoStartNextPowerIrp(PIRP Irp) {
  if (!Irp) verifier::Report("power", "PoStartNextPowerIrp with a NULL IRP");
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  (void)DeviceObject;
  (void)Type;
  return State;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER;
  if (!IsLiveDevice(DeviceObject)) return STATUS_NO_SUCH_DEVICE;
  if (faults::PowerRequestShouldFail()) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  PIRP irp = AllocateSystemIrp(top->StackSize, [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
  });
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (Irp) *Irp = irp;
  worker::Post(MinorFunction == IRP_MN_WAIT_WAKE ? worker::Queue::Wake : worker::Queue::Power,
               [top, irp] { IofCallDriver(top, irp); });
  return STATUS_PENDING;
}

}  // extern "C"
