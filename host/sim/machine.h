// The simulated machine: the host kernel's subsystems started together, the USB bus, and the
// Orvix driver installed for the adapter's hardware ID. Tests and the simulator build on it.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "../kernel/clock.h"
#include "../kernel/verifier.h"
#include "../pnp/pnp_manager.h"
#include "../usb/bus.h"

namespace hk {

struct MachineOptions {
  clock::Mode Clock = clock::Mode::Virtual;
  LONGLONG Tick = clock::kDefaultTick;
  int Processors = 2;
  // The function driver installed for the adapter's hardware ID (Orvix's DriverEntry).
  PDRIVER_INITIALIZE Driver = nullptr;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  pnp::DeviceNode* PlugIn(std::shared_ptr<usb::Function> function);
  void Unplug(pnp::DeviceNode* node);

  // Virtual time.
  void AdvanceMs(LONGLONG ms) { clock::AdvanceMs(ms); }
  void Settle();

  // Closes every handle, removes every device, unloads the driver and stops the kernel; files
  // verifier reports for anything left behind. Safe to call twice.
  void Shutdown();

 private:
  bool running_ = false;
};

// The adapter's hardware ID, under which Orvix is installed.
extern const char16_t* const kAdapterHardwareId;

}  // namespace hk
