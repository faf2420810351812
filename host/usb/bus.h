// The USB bus driver below the function driver: it makes a physical device object for every
// device plugged in, completes the Plug and Play and power requests that reach the bottom of
// the stack as a USB device's PDO does, and passes URBs to the host controller.
#pragma once
#include <hostddk/ddk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../pnp/pnp_manager.h"
#include "function.h"
#include "urb_event.h"

namespace hk::usb {

class HostController;

void Start();
void Shutdown();

// Plugs a device in; returns its device node (null if the bus could not create the PDO).
pnp::DeviceNode* PlugIn(std::shared_ptr<Function> function);
// Unplugs it: surprise removal, then removal once its handles are closed.
void Unplug(pnp::DeviceNode* node);

PDRIVER_OBJECT BusDriver();
// The host controller of a plugged-in device (null once it is removed).
HostController* ControllerOf(pnp::DeviceNode* node);
// Calls `hook` with the host controller of every device plugged in from now on, and at once with
// those of the devices plugged in now, so an observer (a capture) misses none. Hooks stay for the
// life of the process and run under the bus's lock: they must not call into the bus.
void OnControllerCreated(std::function<void(HostController&)> hook);
DEVICE_CAPABILITIES DefaultCapabilities();

// What the PDO of a device was asked, in order, so that tests can see what the drivers above
// passed down (and what they kept to themselves). Gone with the PDO.
struct PowerRequestSeen {
  UCHAR Minor;
  POWER_STATE_TYPE Type;  // SET_POWER and QUERY_POWER
  POWER_STATE State;      // SET_POWER and QUERY_POWER; the system state of a WAIT_WAKE
};
std::vector<PowerRequestSeen> PowerRequestsSeen(pnp::DeviceNode* node);
std::vector<UCHAR> PnpRequestsSeen(pnp::DeviceNode* node);  // minor codes
// While held, device SET_POWER requests stay pending at the PDO, as with a device that takes
// its time to change state, until released; released requests are completed with `status`
// (the PDO takes the new state whatever the status). Removal releases what is still held.
void HoldDevicePowerRequests(pnp::DeviceNode* node, bool hold);
size_t HeldDevicePowerRequests(pnp::DeviceNode* node);
void ReleaseDevicePowerRequests(pnp::DeviceNode* node, NTSTATUS status = STATUS_SUCCESS);
// The device power state the PDO was last set to.
DEVICE_POWER_STATE PdoPowerState(pnp::DeviceNode* node);
void SetCapabilities(const DEVICE_CAPABILITIES& capabilities);  // for devices plugged in later

}  // namespace hk::usb
