// orvix-sim: runs the Orvix driver on the host kernel with a simulated adapter and prints
// what an administrator of the Windows machine would see of the port.
#include <cstdio>

#include "../adapter/adapter.h"
#include "../io/io_manager.h"
#include "../registry/registry.h"
#include "../rtl/strings.h"
#include "machine.h"
#include "orvix.h"

using namespace hk;

namespace {

const GUID kPortInterface = {0x5E1C7A42, 0x9B3D, 0x4F06, {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};

std::string Text(const std::u16string& s) { return rtl::ToAscii(s); }

void ShowPort() {
  for (const auto& value : registry::Values(registry::kDeviceMap + u"\\SERIALCOMM")) {
    std::u16string port((const char16_t*)value.Data.data(), value.Data.size() / 2);
    while (!port.empty() && port.back() == 0) port.pop_back();
    std::printf("  device object       %s\n", Text(value.Name).c_str());
    std::printf("  COM link            \\DosDevices\\%s -> %s\n", Text(port).c_str(),
                Text(io::LinkTarget(u"\\DosDevices\\" + port)).c_str());
    std::printf("  SERIALCOMM value    %s = %s\n", Text(value.Name).c_str(), Text(port).c_str());
  }
  for (const auto& name : io::EnabledInterfaces(kPortInterface))
    std::printf("  device interface    %s\n", Text(name).c_str());
}

}  // namespace

int main() {
  MachineOptions options;
  options.Clock = clock::Mode::Real;
  options.Driver = DriverEntry;
  Machine machine(options);
  std::printf("Plugging in a USB-to-RS-232 adapter (USB\\Vid_7A3C&Pid_0003)...\n");
  pnp::DeviceNode* node = machine.PlugIn(std::make_shared<adapter::Adapter>());
  if (!node) {
    std::printf("The bus could not create the device.\n");
    return 1;
  }
  std::printf("Orvix added the port (start status 0x%08X):\n", (unsigned)node->LastStatus);
  ShowPort();
  std::printf("Unplugging the adapter...\n");
  machine.Unplug(node);
  machine.Shutdown();
  bool clean = registry::Values(registry::kDeviceMap + u"\\SERIALCOMM").empty() &&
               io::EnabledInterfaces(kPortInterface).empty();
  std::printf("After removal: %s\n", clean ? "no COM link, no SERIALCOMM value, interface disabled"
                                            : "names left behind!");
  auto findings = verifier::Take();
  std::printf("Verifier: %s\n", findings.empty() ? "no findings" : verifier::Describe(findings).c_str());
  return findings.empty() && clean ? 0 : 1;
}
