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
void SetCapabilities(const DEVICE_CAPABILITIES& capabilities);  // for devices plugged in later

}  // namespace hk::usb
