// The verifier's leak and teardown rules, each broken on purpose: a driver that unloads with a
// handle open or a thread still running, a device deleted with its timer set or its DPC
// running, a wait with a spin lock held, and a machine that shuts down with pool still allocated.
#include <atomic>
#include <thread>

#include "kernel/pool.h"
#include "pnp/pnp_manager.h"
#include "registry/registry.h"
#include "usb/bus.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class PlantedRules : public MachineTest {};

class Bare : public usb::Function {
 public:
  USHORT VendorId() const override { return 0x1234; }
  USHORT ProductId() const override { return 0x0002; }
  std::u16string SerialNumber() const override { return u""; }
  std::vector<UCHAR> DeviceDescriptor() const override { return {}; }
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR) const override { return {}; }
  USBD_STATUS Control(const usb::SetupPacket&, UCHAR*, ULONG&) override { return USBD_STATUS_STALL_PID; }
  void Submit(usb::TransferPtr) override {}
};

NTSTATUS RefuseDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_UNSUCCESSFUL; }

// Opens a registry key and forgets to close it (kept here so that the test can close it).
HANDLE g_leakedHandle;
NTSTATUS HandleLeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_leakedHandle = registry::OpenKey(registry::kDeviceMap, true);
  driver->DriverExtension->AddDevice = RefuseDevice;
  return STATUS_SUCCESS;
}

KEVENT g_release;
void LingeringThread(PVOID) {
  KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Starts a thread that outlives the driver.
NTSTATUS ThreadLeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeEvent(&g_release, NotificationEvent, FALSE);
  HANDLE thread = nullptr;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, LingeringThread, nullptr)))
    ZwClose(thread);
  driver->DriverExtension->AddDevice = RefuseDevice;
  return STATUS_SUCCESS;
}

pnp::DeviceNode* LoadAndUnload(Machine& machine, const char16_t* name, PDRIVER_INITIALIZE entry) {
  pnp::RegisterDriver(u"USB\\Vid_1234&Pid_0002", {name, entry});
  pnp::DeviceNode* node = machine.PlugIn(std::make_shared<Bare>());
  EXPECT_EQ(node->State, pnp::DeviceState::AddFailed);
  return node;
}

TEST_F(PlantedRules, AThreadHandleLeftOpenAtUnloadIsReported) {
  pnp::DeviceNode* node = LoadAndUnload(machine(), u"HandleLeak", HandleLeakingEntry);
  auto findings = ExpectFinding("handle-leak");
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].message.find("HandleLeak"), std::string::npos) << findings[0].message;
  EXPECT_EQ(ZwClose(g_leakedHandle), STATUS_SUCCESS);
  machine().Unplug(node);
}

TEST_F(PlantedRules, AThreadStillRunningAtUnloadIsReported) {
  pnp::DeviceNode* node = LoadAndUnload(machine(), u"ThreadLeak", ThreadLeakingEntry);
  auto findings = ExpectFinding("thread-leak");
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].message.find("ThreadLeak"), std::string::npos) << findings[0].message;
  KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
  machine().Unplug(node);
}

struct Extension {
  KDPC Dpc;
  KTIMER Timer;
};

DRIVER_OBJECT g_driver;
DRIVER_EXTENSION g_driverExtension;

PDEVICE_OBJECT NewDevice() {
  g_driver = {};
  g_driverExtension = {};
  g_driver.DriverExtension = &g_driverExtension;
  g_driverExtension.DriverObject = &g_driver;
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(&g_driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  return device;
}

void Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(PlantedRules, ATimerWhoseDpcLivesInADeletedExtensionIsReported) {
  PDEVICE_OBJECT device = NewDevice();
  ASSERT_NE(device, nullptr);
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  KeInitializeDpc(&extension->Dpc, Nothing, nullptr);
  // The timer itself lives outside the extension so that the test can cancel it afterwards.
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -36000000000LL;  // an hour: it never fires during the test
  KeSetTimer(&timer, due, &extension->Dpc);
  IoDeleteDevice(device);
  auto findings = ExpectFinding("device");
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].message.find("timer"), std::string::npos) << findings[0].message;
  KeCancelTimer(&timer);
}

std::atomic<bool> g_dpcEntered{false};
std::atomic<bool> g_dpcRelease{false};
void BlockingDpc(PKDPC, PVOID, PVOID, PVOID) {
  g_dpcEntered = true;
  while (!g_dpcRelease) std::this_thread::yield();
}

TEST_F(PlantedRules, ADpcRunningWhenItsDeviceIsDeletedIsReported) {
  PDEVICE_OBJECT device = NewDevice();
  ASSERT_NE(device, nullptr);
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  g_dpcEntered = false;
  g_dpcRelease = false;
  KeInitializeDpc(&extension->Dpc, BlockingDpc, nullptr);
  KeInsertQueueDpc(&extension->Dpc, nullptr, nullptr);
  while (!g_dpcEntered) std::this_thread::yield();
  IoDeleteDevice(device);
  g_dpcRelease = true;
  auto findings = ExpectFinding("device");
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].message.find("DPC"), std::string::npos) << findings[0].message;
}

TEST_F(PlantedRules, WaitingWhileHoldingASpinLockIsReported) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeReleaseSpinLock(&lock, irql);
  bool holding = false;
  for (const auto& f : ExpectFinding("irql")) holding |= f.message.find("holding a spin lock") != std::string::npos;
  EXPECT_TRUE(holding);
}

TEST_F(PlantedRules, PoolStillAllocatedWhenAMachineWithoutADriverShutsDownIsReported) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C);
  ASSERT_NE(p, nullptr);
  machine().Shutdown();
  auto findings = ExpectFinding("pool-leak");
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].message.find("'Leak'"), std::string::npos) << findings[0].message;
}

}  // namespace
}  // namespace hk::test
