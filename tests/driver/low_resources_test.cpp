// Every allocation that adding a port makes, failed in turn: each failure is reported as a
// clear status, and nothing is left behind (the driver unloads with its pool given back).
#include "kernel/faults.h"
#include "port_fixture.h"
#include "sim/orvix.h"

namespace hk::test {
namespace {

class LowResources : public PortTest {};

TEST_F(LowResources, EveryFailingAllocationWhileAddingLeavesNothingBehind) {
  int failuresSeen = 0;
  for (unsigned n = 1; n < 200; ++n) {
    faults::FailNth(n);
    pnp::DeviceNode* node = Plug(u"F" + std::u16string(1, (char16_t)(u'A' + n % 26)) + std::u16string(1, (char16_t)(u'0' + n / 26)));
    faults::Clear();
    if (node && node->State == pnp::DeviceState::Started) {
      machine().Unplug(node);
      break;
    }
    ++failuresSeen;
    if (node) {
      EXPECT_NE(node->State, pnp::DeviceState::Started);
      EXPECT_FALSE(NT_SUCCESS(node->LastStatus)) << "allocation " << n;
      EXPECT_TRUE(NoPortNamesLeft()) << "allocation " << n;
      EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr) << "allocation " << n;
      machine().Unplug(node);
    }
  }
  EXPECT_GE(failuresSeen, 6) << "the bus, the driver's mutex, its names and its buffers each failed once";
  EXPECT_TRUE(NoPortNamesLeft());
}

TEST_F(LowResources, DriverEntryRefusesToLoadWithoutItsMutex) {
  DRIVER_OBJECT driver{};
  DRIVER_EXTENSION extension{};
  driver.DriverExtension = &extension;
  UNICODE_STRING path{0, 0, nullptr};
  faults::FailNth(1);
  EXPECT_EQ(DriverEntry(&driver, &path), STATUS_INSUFFICIENT_RESOURCES);
  faults::Clear();
  EXPECT_EQ(DevicePowerMutex, nullptr);
}

}  // namespace
}  // namespace hk::test
