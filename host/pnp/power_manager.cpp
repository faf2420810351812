#include "power_manager.h"

#include "../io/io_manager.h"
#include "../kernel/worker.h"
#include "../usb/bus.h"
#include "../usb/host_controller.h"

namespace hk::power {

struct Request::State {
  std::atomic<bool> Done{false};
  std::atomic<NTSTATUS> Status{STATUS_PENDING};
  KEVENT Finished;
  PIRP Irp = nullptr;  // referenced while the Request lives; null for PoRequestPowerIrp ones
  State() { KeInitializeEvent(&Finished, NotificationEvent, FALSE); }
  void Finish(NTSTATUS status) {
    Status = status;
    Done = true;
    KeSetEvent(&Finished, 0, FALSE);
  }
};

namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3: return PowerActionSleep;
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdown;
    default: return PowerActionNone;
  }
}

// A power request of the power manager's own to the top of the stack; `state` learns its end.
PIRP BuildSystemIrp(pnp::DeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE system,
                    const std::shared_ptr<Request::State>& state) {
  PDEVICE_OBJECT top = io::TopOfStack(node->Pdo);
  PIRP irp = io::AllocateSystemIrp(top->StackSize, [state](PIRP done) { state->Finish(done->IoStatus.Status); });
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = system;
  } else {
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = system;
    next->Parameters.Power.ShutdownType = ActionFor(system);
  }
  // Power requests start out "not supported"; the bus driver at the bottom says otherwise.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  return irp;
}

void DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* state = static_cast<std::shared_ptr<Request::State>*>(context);
  (*state)->Finish(status->Status);
  delete state;
}

std::shared_ptr<Request> RequestDevice(pnp::DeviceNode* node, UCHAR minor, DEVICE_POWER_STATE device) {
  auto state = std::make_shared<Request::State>();
  POWER_STATE power;
  power.DeviceState = device;
  auto* context = new std::shared_ptr<Request::State>(state);
  NTSTATUS status = PoRequestPowerIrp(node->Pdo, minor, power, DeviceRequestDone, context, nullptr);
  if (status != STATUS_PENDING) {
    delete context;
    state->Finish(status);
  }
  return std::make_shared<Request>(state);
}

}  // namespace

Request::Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

Request::~Request() {
  if (state_->Irp) io::DereferenceIrp(state_->Irp);
}

bool Request::Done() const { return state_->Done; }
NTSTATUS Request::Status() const { return state_->Status; }

NTSTATUS Request::Wait() const {
  KeWaitForSingleObject(&state_->Finished, Executive, KernelMode, FALSE, nullptr);
  return state_->Status;
}

bool Request::Cancel() { return state_->Irp && IoCancelIrp(state_->Irp); }

NTSTATUS SetSystemPowerState(pnp::DeviceNode* node, SYSTEM_POWER_STATE state) {
  auto request = std::make_shared<Request::State>();
  PIRP irp = BuildSystemIrp(node, IRP_MN_SET_POWER, state, request);
  return io::SendAndWait(io::TopOfStack(node->Pdo), irp);
}

std::shared_ptr<Request> StartSystemPowerState(pnp::DeviceNode* node, SYSTEM_POWER_STATE state) {
  auto request = std::make_shared<Request::State>();
  PIRP irp = BuildSystemIrp(node, IRP_MN_SET_POWER, state, request);
  IofCallDriver(io::TopOfStack(node->Pdo), irp);
  return std::make_shared<Request>(request);
}

NTSTATUS QuerySystemPowerState(pnp::DeviceNode* node, SYSTEM_POWER_STATE state) {
  auto request = std::make_shared<Request::State>();
  PIRP irp = BuildSystemIrp(node, IRP_MN_QUERY_POWER, state, request);
  return io::SendAndWait(io::TopOfStack(node->Pdo), irp);
}

std::shared_ptr<Request> RequestDevicePowerState(pnp::DeviceNode* node, DEVICE_POWER_STATE state) {
  return RequestDevice(node, IRP_MN_SET_POWER, state);
}

std::shared_ptr<Request> QueryDevicePowerState(pnp::DeviceNode* node, DEVICE_POWER_STATE state) {
  return RequestDevice(node, IRP_MN_QUERY_POWER, state);
}

std::shared_ptr<Request> ArmWaitWake(pnp::DeviceNode* node, SYSTEM_POWER_STATE deepestWakeable) {
  auto state = std::make_shared<Request::State>();
  PIRP irp = BuildSystemIrp(node, IRP_MN_WAIT_WAKE, deepestWakeable, state);
  // Held for cancellation, which may come after the request is completed and freed.
  io::ReferenceIrp(irp);
  state->Irp = irp;
  PDEVICE_OBJECT top = io::TopOfStack(node->Pdo);
  worker::Post(worker::Queue::Wake, [top, irp] { IofCallDriver(top, irp); });
  return std::make_shared<Request>(state);
}

void SignalWake(pnp::DeviceNode* node) {
  if (usb::HostController* controller = usb::ControllerOf(node)) controller->SignalWake();
}

bool WakeArmedAtBus(pnp::DeviceNode* node) {
  usb::HostController* controller = usb::ControllerOf(node);
  return controller && controller->WakeArmed();
}

}  // namespace hk::power
