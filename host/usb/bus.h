// The USB bus driver below the function driver: it makes a physical device object for every
// device plugged in, completes the Plug and Play and power requests that reach the bottom of
// the stack as a USB device's PDO does, and passes URBs to the host controller.
#pragma once
#include <hostddk/ddk.h>

#include <memory>
#include <string>
#include <vector>

#include "../pnp/pnp_manager.h"

namespace hk::usb {

class HostController;

// What a device on the bus is: its identity and how it answers URBs. The adapter model is one.
class Function {
 public:
  virtual ~Function() = default;
  virtual USHORT VendorId() const = 0;
  virtual USHORT ProductId() const = 0;
  virtual std::u16string SerialNumber() const = 0;
  // Handles one URB; the host controller completes the IRP with the status returned, or leaves
  // it pending (STATUS_PENDING) until the function calls HostController::Complete.
  virtual NTSTATUS Submit(HostController& controller, PIRP irp, PURB urb) = 0;
  // The PDO received SET_POWER for a device power state.
  virtual void PowerChanged(DEVICE_POWER_STATE) {}
  // The device was unplugged or removed: pending transfers must end.
  virtual void Detached(HostController&) {}
};

struct Port;  // one plugged-in device

void Start();
void Shutdown();

// Plugs a device in; returns its device node (null if the bus could not create the PDO).
pnp::DeviceNode* PlugIn(std::shared_ptr<Function> function);
// Unplugs it: surprise removal, then removal once its handles are closed.
void Unplug(pnp::DeviceNode* node);

PDRIVER_OBJECT BusDriver();
DEVICE_CAPABILITIES DefaultCapabilities();
void SetCapabilities(const DEVICE_CAPABILITIES& capabilities);  // for devices plugged in later

}  // namespace hk::usb
