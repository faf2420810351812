// Configuring the adapter: the descriptors read at start (a long configuration read twice,
// malformed ones refused without reading past what arrived), every pipe selected with a
// 256-byte transfer size, a first interface without three pipes refused, un-configuration at
// stop and a new selection at the next start, and everything given back at removal, with
// allocations failing one by one across the start.
#include <atomic>

#include "io/io_manager.h"
#include "kernel/faults.h"
#include "kernel/pool.h"
#include "open_port.h"
#include "rtl/strings.h"
#include "urb_log.h"
#include "usb/bus.h"

namespace hk::test {
namespace {

using adapter::ConfigVariant;

class Configuration : public PortTest {
 protected:
  pnp::DeviceNode* PlugVariant(ConfigVariant variant, const std::u16string& serial = u"A0001") {
    adapter::AdapterOptions options;
    options.Serial = serial;
    options.Variant = variant;
    options.Unthrottled = true;
    options.Partner = adapter::LinePartner::Loopback;
    device_ = std::make_shared<adapter::Adapter>(options);
    return machine().PlugIn(device_);
  }
  adapter::Adapter& Device() { return *device_; }

  // The port's device interface as an application opens it; there is one port at a time here.
  static std::string InterfacePath() {
    auto interfaces = io::EnabledInterfaces(kPortInterface);
    if (interfaces.size() != 1) return {};
    std::string name = Ascii(interfaces[0]);
    if (name.rfind("\\??\\", 0) == 0) name = "\\\\?\\" + name.substr(4);
    return name;
  }
  static HANDLE OpenPath(const std::string& path) {
    return win32::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, win32::OPEN_EXISTING, 0,
                              nullptr);
  }
  // Writes through the loopback plug and reads it back on a synchronous handle.
  static ::testing::AssertionResult EchoWorks(HANDLE h, const std::string& text) {
    SERIAL_TIMEOUTS t{0, 0, 5000, 0, 0};
    win32::DWORD n = 0;
    if (!win32::DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n, nullptr))
      return ::testing::AssertionFailure() << "SET_TIMEOUTS failed";
    if (!win32::WriteFile(h, text.data(), (win32::DWORD)text.size(), &n, nullptr) || n != text.size())
      return ::testing::AssertionFailure() << "write failed: " << std::hex << win32::GetLastNtStatus();
    std::string back(text.size(), '\0');
    if (!win32::ReadFile(h, back.data(), (win32::DWORD)back.size(), &n, nullptr) || back != text)
      return ::testing::AssertionFailure() << "read back \"" << back.substr(0, n) << "\"";
    return ::testing::AssertionSuccess();
  }
  // Live allocations carrying the driver's own pool tag.
  static std::pair<size_t, size_t> DriverPool() {
    size_t count = 0, bytes = 0;
    for (const auto& a : pool::Live())
      if (a.tag == ORVIX_POOL_TAG) ++count, bytes += a.size;
    return {count, bytes};
  }

 private:
  std::shared_ptr<adapter::Adapter> device_;
};

std::vector<USHORT> ConfigurationReads(const std::vector<usb::UrbEvent>& events) {
  std::vector<USHORT> lengths;
  for (const auto& e : events)
    if (IsConfigurationRead(e) && !e.Completion) lengths.push_back(SetupLength(e));
  return lengths;
}

size_t Count(const std::vector<usb::UrbEvent>& events, bool (*what)(const usb::UrbEvent&)) {
  size_t n = 0;
  for (const auto& e : events) n += !e.Completion && what(e);
  return n;
}

bool IsAnyBulk(const usb::UrbEvent& e) { return e.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER; }

TEST_F(Configuration, EveryPipeIsSelectedWithATransferSizeOf256) {
  auto log = UrbLog::ForNextDevice();
  pnp::DeviceNode* node = PlugVariant(ConfigVariant::Standard);
  ASSERT_EQ(node->State, pnp::DeviceState::Started);
  auto pipes = usb::ControllerOf(node)->SelectedPipes();
  ASSERT_EQ(pipes.size(), 3u);
  const UCHAR endpoints[] = {0x81, 0x02, 0x83};
  PDEVICE_EXTENSION ext = Extension(node);
  ASSERT_EQ(ext->InterfaceCount, 1u);
  ASSERT_EQ(ext->InterfaceList[0].PipeCount, 3u);
  for (size_t i = 0; i < pipes.size(); ++i) {
    EXPECT_EQ(pipes[i].MaximumTransferSize, 256u);
    EXPECT_EQ(pipes[i].EndpointAddress, endpoints[i]);
    EXPECT_EQ(ext->InterfaceList[0].Pipes[i].PipeInfo.PipeHandle, pipes[i].PipeHandle);
  }
  EXPECT_EQ(ext->BulkInPipe, pipes[0].PipeHandle);
  EXPECT_EQ(ext->Pipe1Handle, pipes[1].PipeHandle);
  EXPECT_EQ(ext->Pipe2Handle, pipes[2].PipeHandle);
  EXPECT_EQ(Device().ConfigurationValue(), 1);

  auto events = log->Events();
  EXPECT_EQ(ConfigurationReads(events), (std::vector<USHORT>{521})) << "a short configuration is read once";
  EXPECT_EQ(Count(events, IsSelectConfiguration), 1u);
  EXPECT_EQ(Count(events, IsAnyBulk), 0u) << "nothing is read or written before the port is opened";
  ASSERT_NE(ext->DeviceDescriptor, nullptr);
  EXPECT_EQ(ext->DeviceDescriptor->idVendor, 0x7A3C);
}

struct GoodVariant {
  const char* name;
  ConfigVariant variant;
  std::vector<USHORT> reads;
  ULONG interfaces;
  std::vector<UCHAR> endpoints;
};

void PrintTo(const GoodVariant& v, std::ostream* os) { *os << v.name; }

class GoodConfigurations : public Configuration, public ::testing::WithParamInterface<GoodVariant> {};

TEST_P(GoodConfigurations, AreSelectedAndThePortWorks) {
  const auto& p = GetParam();
  auto log = UrbLog::ForNextDevice();
  pnp::DeviceNode* node = PlugVariant(p.variant);
  ASSERT_EQ(node->State, pnp::DeviceState::Started) << std::hex << node->LastStatus;
  EXPECT_EQ(ConfigurationReads(log->Events()), p.reads);
  EXPECT_EQ(Extension(node)->InterfaceCount, p.interfaces);
  std::vector<UCHAR> endpoints;
  for (const auto& pipe : usb::ControllerOf(node)->SelectedPipes()) {
    endpoints.push_back(pipe.EndpointAddress);
    EXPECT_EQ(pipe.MaximumTransferSize, 256u) << "endpoint " << (int)pipe.EndpointAddress;
  }
  EXPECT_EQ(endpoints, p.endpoints);
  HANDLE h = OpenPath("\\\\.\\COM5");
  ASSERT_NE(h, win32::INVALID_HANDLE_VALUE) << std::hex << win32::GetLastNtStatus();
  EXPECT_TRUE(EchoWorks(h, "configured"));
  win32::CloseHandle(h);
  machine().Unplug(node);
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, GoodConfigurations,
    ::testing::Values(GoodVariant{"Standard", ConfigVariant::Standard, {521}, 1, {0x81, 0x02, 0x83}},
                      // Read again with exactly wTotalLength bytes.
                      GoodVariant{"Long", ConfigVariant::Long, {521, 789}, 1, {0x81, 0x02, 0x83}},
                      GoodVariant{"SecondInterface", ConfigVariant::SecondInterface, {521}, 2, {0x81, 0x02, 0x83, 0x84}},
                      // Interfaces 0 and 2: only interface 0 is selected.
                      GoodVariant{"InterfaceGap", ConfigVariant::InterfaceGap, {521}, 1, {0x81, 0x02, 0x83}}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadVariant {
  const char* name;
  ConfigVariant variant;
  NTSTATUS status;
  std::vector<USHORT> reads;
  bool selected;  // the configuration itself could be selected
};

void PrintTo(const BadVariant& v, std::ostream* os) { *os << v.name; }

class BadConfigurations : public Configuration, public ::testing::WithParamInterface<BadVariant> {};

TEST_P(BadConfigurations, FailTheStartAndLeaveADeviceThatRefusesIoAndGoesCleanly) {
  const auto& p = GetParam();
  pnp::SetAutoStart(false);
  auto log = UrbLog::ForNextDevice();
  pnp::DeviceNode* node = PlugVariant(p.variant);
  ASSERT_EQ(node->State, pnp::DeviceState::Added);
  EXPECT_EQ(pnp::SendPnp(node, IRP_MN_START_DEVICE), p.status);
  machine().Settle();

  auto events = log->Events();
  EXPECT_EQ(ConfigurationReads(events), p.reads) << "read at most twice";
  EXPECT_EQ(Count(events, IsSelectConfiguration), p.selected ? 1u : 0u);
  EXPECT_FALSE(Extension(node)->DeviceStarted);
  EXPECT_EQ(Extension(node)->ConfigurationDescriptor != nullptr, p.selected) << "a refused descriptor is not kept";

  HANDLE h = OpenPath("\\\\.\\COM5");
  EXPECT_EQ(h, win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::GetLastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_EQ(Count(log->Events(), IsAnyBulk), 0u);
  EXPECT_TRUE(Device().ControlRequests().empty());

  machine().Unplug(node);
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr) << "unloaded, with its pool checked";
  EXPECT_TRUE(NoPortNamesLeft());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, BadConfigurations,
    ::testing::Values(
        BadVariant{"TwoPipes", ConfigVariant::TwoPipes, STATUS_DEVICE_CONFIGURATION_ERROR, {521}, true},
        BadVariant{"TotalLengthLies", ConfigVariant::TotalLengthLies, STATUS_DEVICE_DATA_ERROR, {521, 1000}, false},
        BadVariant{"ZeroLengthDescriptor", ConfigVariant::ZeroLengthDescriptor, STATUS_DEVICE_DATA_ERROR, {521}, false},
        BadVariant{"OverrunDescriptor", ConfigVariant::OverrunDescriptor, STATUS_DEVICE_DATA_ERROR, {521}, false},
        BadVariant{"TotalLengthTooSmall", ConfigVariant::TotalLengthTooSmall, STATUS_DEVICE_DATA_ERROR, {521}, false},
        BadVariant{"WrongType", ConfigVariant::WrongType, STATUS_DEVICE_DATA_ERROR, {521}, false},
        BadVariant{"Empty", ConfigVariant::Empty, STATUS_DEVICE_DATA_ERROR, {521}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Configuration, AFailedStartIsRemovedByPlugAndPlayWithNothingLeft) {
  pnp::DeviceNode* node = PlugVariant(ConfigVariant::TwoPipes);
  EXPECT_EQ(node->State, pnp::DeviceState::StartFailed);
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
  EXPECT_TRUE(NoPortNamesLeft());
}

TEST_F(Configuration, StopUnconfiguresAndEachRestartSelectsAgainWithoutGrowing) {
  pnp::DeviceNode* node = PlugVariant(ConfigVariant::Long);
  ASSERT_EQ(node->State, pnp::DeviceState::Started);
  HANDLE h = OpenPath("\\\\.\\COM5");
  ASSERT_NE(h, win32::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(EchoWorks(h, "before"));
  EXPECT_NE(pnp::StopAndRestart(node), STATUS_SUCCESS) << "an open port cannot be stopped";
  EXPECT_TRUE(EchoWorks(h, "still open"));
  win32::CloseHandle(h);
  machine().Settle();

  PDEVICE_EXTENSION ext = Extension(node);
  auto pool = DriverPool();
  PIRP bulkIn = ext->BulkInIrp, bulkOut = ext->BulkOutIrp;
  PURB control = ext->ControlUrb;
  for (int round = 0; round < 3; ++round) {
    auto log = UrbLog::Attach(usb::ControllerOf(node));
    std::atomic<int> unconfigured{-1};
    log->ProbeNext([](const usb::UrbEvent& e) { return IsSelectConfiguration(e) && e.Completion && e.Setup[2] == 0; },
                   [&](const usb::UrbEvent&) { unconfigured = Device().ConfigurationValue(); });
    ASSERT_EQ(pnp::StopAndRestart(node), STATUS_SUCCESS);
    ASSERT_EQ(node->State, pnp::DeviceState::Started) << std::hex << node->LastStatus;
    machine().Settle();

    // Un-configured (no descriptor at all), then read and selected afresh.
    auto events = log->Events();
    std::vector<int> selections;
    for (const auto& e : events)
      if (IsSelectConfiguration(e) && !e.Completion) selections.push_back(e.Setup[2]);
    EXPECT_EQ(selections, (std::vector<int>{0, 1}));
    EXPECT_EQ(ConfigurationReads(events), (std::vector<USHORT>{521, 789}));
    EXPECT_EQ(unconfigured, 0) << "the adapter was put in the unconfigured state";
    EXPECT_EQ(Device().ConfigurationValue(), 1);
    for (const auto& pipe : usb::ControllerOf(node)->SelectedPipes()) EXPECT_EQ(pipe.MaximumTransferSize, 256u);

    EXPECT_EQ(DriverPool(), pool) << "round " << round << ": the earlier descriptors went back";
    EXPECT_EQ(ext->BulkInIrp, bulkIn);
    EXPECT_EQ(ext->BulkOutIrp, bulkOut);
    EXPECT_EQ(ext->ControlUrb, control);

    // The COM name went with the stop and came back with the start; the interface finds it too.
    EXPECT_TRUE(LinkTarget("COM5"));
    std::string path = InterfacePath();
    ASSERT_FALSE(path.empty());
    HANDLE again = OpenPath(path);
    ASSERT_NE(again, win32::INVALID_HANDLE_VALUE) << std::hex << win32::GetLastNtStatus();
    EXPECT_TRUE(EchoWorks(again, "after restart " + std::to_string(round)));
    win32::CloseHandle(again);
    machine().Settle();
  }

  machine().Unplug(node);
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
  EXPECT_EQ(DriverPool().first, 0u);
}

TEST_F(Configuration, EveryAllocationFailingAcrossTheStartLeavesADeviceThatGoesCleanly) {
  int failed = 0, survived = 0;
  bool finished = false;
  for (unsigned n = 1; n < 400 && !finished; ++n) {
    pnp::SetAutoStart(false);
    pnp::DeviceNode* node = PlugVariant(ConfigVariant::Standard, u"S" + std::u16string(1, (char16_t)(u'A' + n % 26)) +
                                                                  rtl::FromAscii(std::to_string(n)));
    ASSERT_EQ(node->State, pnp::DeviceState::Added) << "allocation " << n;
    faults::FailNth(n);
    NTSTATUS status = pnp::SendPnp(node, IRP_MN_START_DEVICE);
    finished = faults::Counted() < n;  // the start made fewer allocations: none failed
    faults::Clear();
    machine().Settle();

    std::string path = InterfacePath();
    HANDLE h = path.empty() ? win32::INVALID_HANDLE_VALUE : OpenPath(path);
    if (NT_SUCCESS(status)) {
      ++survived;
      EXPECT_TRUE(Extension(node)->DeviceStarted) << "allocation " << n;
      EXPECT_NE(h, win32::INVALID_HANDLE_VALUE) << "allocation " << n;
      if (h != win32::INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(EchoWorks(h, "n=" + std::to_string(n)));
      }
    } else {
      ++failed;
      EXPECT_FALSE(finished) << "a start without a failing allocation failed: " << std::hex << status;
      EXPECT_FALSE(Extension(node)->DeviceStarted) << "allocation " << n;
      EXPECT_EQ(h, win32::INVALID_HANDLE_VALUE) << "allocation " << n << ": a failed start refuses I/O";
    }
    if (h != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(h);
    machine().Settle();
    machine().Unplug(node);
    EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr) << "allocation " << n;
    EXPECT_EQ(DriverPool().first, 0u) << "allocation " << n;
  }
  EXPECT_TRUE(finished) << "the start never ran without a failure";
  EXPECT_GE(failed, 10) << "descriptors, the selection, the pipe table, the transfer requests and the threads";
  EXPECT_GE(survived, 1);
}

TEST_F(Configuration, EveryAllocationFailingAcrossARestartLeavesADeviceThatGoesCleanly) {
  int failed = 0;
  bool finished = false;
  for (unsigned n = 1; n < 400 && !finished; ++n) {
    pnp::DeviceNode* node = PlugVariant(ConfigVariant::Standard, u"R" + rtl::FromAscii(std::to_string(n)));
    ASSERT_EQ(node->State, pnp::DeviceState::Started) << "allocation " << n;
    faults::FailNth(n);
    EXPECT_EQ(pnp::StopAndRestart(node), STATUS_SUCCESS);
    finished = faults::Counted() < n;
    faults::Clear();
    machine().Settle();

    std::string path = InterfacePath();
    HANDLE h = path.empty() ? win32::INVALID_HANDLE_VALUE : OpenPath(path);
    if (node->State == pnp::DeviceState::Started) {
      EXPECT_NE(h, win32::INVALID_HANDLE_VALUE) << "allocation " << n;
      if (h != win32::INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(EchoWorks(h, "n=" + std::to_string(n)));
      }
    } else {
      ++failed;
      EXPECT_FALSE(finished) << "a restart without a failing allocation failed";
      EXPECT_EQ(h, win32::INVALID_HANDLE_VALUE) << "allocation " << n << ": a failed start refuses I/O";
    }
    if (h != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(h);
    machine().Settle();
    // A device that failed to start again is removed as Plug and Play removes it.
    if (node->State == pnp::DeviceState::Started) machine().Unplug(node);
    else EXPECT_EQ(pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS);
    machine().Settle();
    EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr) << "allocation " << n;
    EXPECT_EQ(DriverPool().first, 0u) << "allocation " << n;
  }
  EXPECT_TRUE(finished) << "the restart never ran without a failure";
  EXPECT_GE(failed, 5) << "the descriptors, the selection, the pipe table and the threads";
}

}  // namespace
}  // namespace hk::test
