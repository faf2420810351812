// The power manager's side of a device: system power transitions sent down the device's stack
// as the system sleeps and wakes, device power requests as the power policy owner asks for
// them, and wait/wake (armed by the power policy owner, signalled by the device).
#pragma once
#include <hostddk/ddk.h>

#include <atomic>
#include <memory>

#include "pnp_manager.h"

namespace hk::power {

// A power request in flight. Keeps the request's memory valid (so that it can be cancelled
// whenever) until the last reference to it goes, which must be before the machine shuts down.
// (A failing PoRequestPowerIrp is planted with faults::FailPowerRequests.)
class Request {
 public:
  struct State;
  explicit Request(std::shared_ptr<State> state);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  bool Done() const;
  NTSTATUS Status() const;  // STATUS_PENDING until done
  // Waits for the final completion (a kernel wait: in virtual time only what needs no time).
  NTSTATUS Wait() const;
  bool Cancel();  // IoCancelIrp; false when there was nothing to cancel

 private:
  std::shared_ptr<State> state_;
};

// IRP_MN_SET_POWER of type SystemPowerState to the top of the device's stack, waited for; the
// final status. `state` 1 is working, 2 to 4 sleeping, 5 hibernate, 6 shutdown.
NTSTATUS SetSystemPowerState(pnp::DeviceNode* node, SYSTEM_POWER_STATE state);
// The same, not waited for.
std::shared_ptr<Request> StartSystemPowerState(pnp::DeviceNode* node, SYSTEM_POWER_STATE state);
// IRP_MN_QUERY_POWER of type SystemPowerState, waited for; the final status.
NTSTATUS QuerySystemPowerState(pnp::DeviceNode* node, SYSTEM_POWER_STATE state);

// Device power requests, as the power policy owner asks for them (PoRequestPowerIrp on the
// PDO: they travel from the top of the stack).
std::shared_ptr<Request> RequestDevicePowerState(pnp::DeviceNode* node, DEVICE_POWER_STATE state);
std::shared_ptr<Request> QueryDevicePowerState(pnp::DeviceNode* node, DEVICE_POWER_STATE state);

// Wait/wake: IRP_MN_WAIT_WAKE from the top of the stack, dispatched where it may wait for the
// wake without holding up other power requests. It completes when the device signals wake,
// when it is cancelled, or when the device goes away.
std::shared_ptr<Request> ArmWaitWake(pnp::DeviceNode* node, SYSTEM_POWER_STATE deepestWakeable);
void SignalWake(pnp::DeviceNode* node);
bool WakeArmedAtBus(pnp::DeviceNode* node);

}  // namespace hk::power
