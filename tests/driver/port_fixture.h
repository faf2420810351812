// Helpers for driver tests: plugging in a modelled adapter and looking at what the driver made.
#pragma once
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "adapter/adapter.h"
#include "frame/frame.h"
#include "verified_test.h"

namespace hk::test {

extern const GUID kPortInterface;

class PortTest : public MachineTest {
 protected:
  // Plugs in an adapter with a known instance serial, so that its registry keys are known.
  pnp::DeviceNode* Plug(const std::u16string& serial = u"A0001");
  static std::u16string InstanceOf(const std::u16string& serial);
  static PDEVICE_OBJECT Fdo(pnp::DeviceNode* node);
  static PDEVICE_EXTENSION Extension(pnp::DeviceNode* node);

  // The SERIALCOMM entries as name -> data (data without its terminating zero).
  std::map<std::string, std::string> SerialComm();
  std::optional<std::string> LinkTarget(const std::string& dosName);
  size_t EnabledInterfaces();
  // True when nothing of a port's names is left: no link, no device map entry, no interface.
  ::testing::AssertionResult NoPortNamesLeft();
};

std::string Ascii(const std::u16string& s);

}  // namespace hk::test
