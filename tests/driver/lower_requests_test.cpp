// Requests the driver sends down that cannot be made or are refused, and the reference to a
// pipe thread that cannot be taken: the submit helper's IRP missing while the port is opened,
// set, closed and stopped; the lower drivers failing the capabilities query; each pipe
// thread's reference failing at start. Each time the caller gets a clear status, nothing is
// left once the adapter is unplugged, and the port works again or is cleanly refused.
#include "app/comm.h"
#include "app/win32.h"
#include "io/io_manager.h"
#include "io/names.h"
#include "kernel/faults.h"
#include "kernel/handles.h"
#include "kernel/pool.h"
#include "kernel/threads.h"
#include "open_port.h"
#include "pnp/power_manager.h"
#include "usb/bus.h"

namespace hk::test {
namespace {

using namespace win32;

// The port's device interface as an application finds it (it outlives the COM name at a stop).
std::string InterfacePath() {
  auto interfaces = io::EnabledInterfaces(kPortInterface);
  if (interfaces.size() != 1) return {};
  std::string name = Ascii(interfaces[0]);
  if (name.rfind("\\??\\", 0) == 0) name = "\\\\?\\" + name.substr(4);
  return name;
}

HANDLE OpenPath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                     nullptr);
}

class LowerRequests : public OpenPortTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = OpenPortTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    return o;
  }

  size_t Requests(UCHAR request) {
    size_t n = 0;
    for (const auto& r : Device().ControlRequests()) n += r.Setup.Request == request;
    return n;
  }

  // A round trip through the loopback plug on the open port.
  ::testing::AssertionResult RoundTrip(const std::string& text) {
    SetTimeouts(0, 0, 500, 0, 500);
    if (Purge(SERIAL_PURGE_RXCLEAR) != STATUS_SUCCESS) return ::testing::AssertionFailure() << "purge failed";
    auto write = StartWrite(Bytes(text));
    machine().AdvanceMs(50);
    auto read = StartRead((ULONG)text.size());
    machine().AdvanceMs(50);
    if (!write->Done() || write->Status() != STATUS_SUCCESS)
      return ::testing::AssertionFailure() << "write " << std::hex << write->Status();
    if (!read->Done() || read->Status() != STATUS_SUCCESS || read->Text() != text)
      return ::testing::AssertionFailure() << "read " << std::hex << read->Status() << " '" << read->Text() << "'";
    return ::testing::AssertionSuccess();
  }

  // After a stop whose un-configure failed: the port counts as stopped and refuses an open
  // through its interface, the start after it works, and the adapter leaves nothing behind.
  void ExpectStoppedThenRestarted() {
    EXPECT_FALSE(Ext()->DeviceStarted);
    std::string path = InterfacePath();
    ASSERT_FALSE(path.empty());
    HANDLE h = OpenPath(path);
    if (h != INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "a stopped port was opened";
      CloseHandle(h);
      machine().Settle();
    }
    EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    Open();
    EXPECT_TRUE(RoundTrip("after restart"));
    Close();
    ExpectNothingLeftAfterUnplug();
  }

  // The oracle once the adapter is gone: no driver, pool, handle, thread, IRP or name.
  void ExpectNothingLeftAfterUnplug() {
    machine().Unplug(Node());
    machine().Settle();
    EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
    EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
    EXPECT_TRUE(handles::Describe().empty());
    EXPECT_TRUE(threads::Running().empty());
    EXPECT_TRUE(io::LiveIrps().empty());
    EXPECT_TRUE(NoPortNamesLeft());
  }
};

TEST_F(LowerRequests, TheSubmitHelpersIrpMissingWhileOpeningSettingClosingAndStoppingIsReportedOrHarmless) {
  // Open: refused with a reason, the adapter never asked, and the next open works.
  size_t opens = Requests(adapter::kRequestOpen);
  faults::FailNthOf(faults::Resource::Irp, 1);
  HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  DWORD error = GetLastError();
  EXPECT_EQ(faults::FailuresOfKind(), 1u);
  faults::Clear();
  machine().Settle();
  if (h != INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "an open whose adapter request could not be made was reported as a success";
    CloseHandle(h);
    machine().Settle();
  } else {
    EXPECT_NE(error, 0u) << "a failed open must say why";
  }
  EXPECT_EQ(Requests(adapter::kRequestOpen), opens);
  EXPECT_EQ(Ext()->DeviceOpen, FALSE) << "the failed open left the port claimed";
  Open();
  EXPECT_TRUE(RoundTrip("after open"));

  // Line settings: the request is answered (the value stays for the next change to carry), and
  // the next change reaches the adapter.
  size_t blocks = Device().LineSettings().size();
  faults::FailNthOf(faults::Resource::Irp, 1);
  SERIAL_BAUD_RATE baud{19200};
  NTSTATUS set = Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud);
  EXPECT_EQ(faults::FailuresOfKind(), 1u);
  faults::Clear();
  EXPECT_NE(set, STATUS_PENDING);
  EXPECT_EQ(Device().LineSettings().size(), blocks);
  SERIAL_BAUD_RATE again{9600};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &again, sizeof again), STATUS_SUCCESS);
  EXPECT_EQ(Device().LineSettings().size(), blocks + 1);
  EXPECT_TRUE(RoundTrip("after settings"));

  // Close: it still ends, and the port opens again.
  faults::FailNthOf(faults::Resource::Irp, 1);
  Close();
  machine().Settle();
  EXPECT_EQ(faults::FailuresOfKind(), 1u);
  faults::Clear();
  EXPECT_EQ(Ext()->DeviceOpen, FALSE);
  Open();
  EXPECT_TRUE(RoundTrip("after close"));
  Close();

  // Un-configuring at a stop: the stop still stops, the stopped port refuses an open through its
  // interface, and the start after it works.
  faults::FailNthOf(faults::Resource::Irp, 1);
  EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(faults::FailuresOfKind(), 1u);
  faults::Clear();
  ExpectStoppedThenRestarted();
}

TEST_F(LowerRequests, UnconfiguringRefusedByTheBusStillStopsThePort) {
  faults::FailUrb(URB_FUNCTION_SELECT_CONFIGURATION, 1);
  EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(faults::UrbFailures(), 1u);
  faults::Clear();
  ExpectStoppedThenRestarted();
}

class FailedCapabilities : public PortTest {};

TEST_F(FailedCapabilities, WhatAFailedQueryLeftIsNotTakenForAnAnswerAndThePortWorks) {
  for (NTSTATUS failure : {STATUS_UNSUCCESSFUL, STATUS_NOT_SUPPORTED, STATUS_INSUFFICIENT_RESOURCES}) {
    SCOPED_TRACE(failure);
    faults::FailPnp(IRP_MN_QUERY_CAPABILITIES, failure);
    adapter::AdapterOptions options;
    options.Serial = u"C0001";
    options.Unthrottled = true;
    options.Partner = adapter::LinePartner::Loopback;
    pnp::DeviceNode* node = machine().PlugIn(std::make_shared<adapter::Adapter>(options));
    EXPECT_GE(faults::PnpFailures(), 1u) << "the driver asked for the capabilities";
    faults::Clear();
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->State, pnp::DeviceState::Started) << "the capabilities are not needed to start";
    PDEVICE_EXTENSION ext = Extension(node);
    EXPECT_EQ(ext->Capabilities.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(ext->Capabilities.SystemWake, PowerSystemUnspecified);
    for (int s = PowerSystemUnspecified; s < PowerSystemMaximum; ++s)
      EXPECT_EQ(ext->Capabilities.DeviceState[s], PowerDeviceUnspecified) << "system state " << s;

    // The port works, and the system sleeps and wakes with the device in states that exist.
    HANDLE h = OpenPath(InterfacePath());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(power::SetSystemPowerState(node, PowerSystemSleeping3), STATUS_SUCCESS);
    machine().Settle();
    EXPECT_EQ(power::SetSystemPowerState(node, PowerSystemWorking), STATUS_SUCCESS);
    machine().Settle();
    // A wait/wake for a device that named no wake state is refused.
    auto device = power::RequestDevicePowerState(node, PowerDeviceD2);
    machine().Settle();
    auto wake = power::ArmWaitWake(node, PowerSystemSleeping3);
    machine().Settle();
    EXPECT_TRUE(wake->Done());
    EXPECT_FALSE(NT_SUCCESS(wake->Status())) << "wait/wake armed for a device that cannot wake";
    if (!wake->Done()) {
      wake->Cancel();
      machine().Settle();
    }
    EXPECT_EQ(power::SetSystemPowerState(node, PowerSystemSleeping3), STATUS_SUCCESS);
    machine().Settle();
    EXPECT_EQ(power::SetSystemPowerState(node, PowerSystemWorking), STATUS_SUCCESS);
    machine().Settle();
    for (const auto& seen : usb::PowerRequestsSeen(node)) {
      if (seen.Minor != IRP_MN_SET_POWER || seen.Type != DevicePowerState) continue;
      EXPECT_GE(seen.State.DeviceState, PowerDeviceD0);
      EXPECT_LE(seen.State.DeviceState, PowerDeviceD3);
    }
    CloseHandle(h);
    machine().Settle();
    machine().Unplug(node);
    machine().Settle();
    EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
    EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
    EXPECT_TRUE(threads::Running().empty());
    EXPECT_TRUE(NoPortNamesLeft());
  }
}

class ThreadReferences : public PortTest {};

TEST_F(ThreadReferences, EitherReferenceFailingStopsItsThreadAndRefusesTheStartCleanly) {
  for (unsigned which : {1u, 2u}) {
    SCOPED_TRACE(which == 1 ? "reader thread" : "writer thread");
    pnp::SetAutoStart(false);
    pnp::DeviceNode* node = Plug(which == 1 ? u"T0001" : u"T0002");
    ASSERT_EQ(node->State, pnp::DeviceState::Added);
    faults::FailNthOf(faults::Resource::ObjectReference, which);
    NTSTATUS status = pnp::SendPnp(node, IRP_MN_START_DEVICE);
    EXPECT_EQ(faults::FailuresOfKind(), 1u);
    faults::Clear();
    machine().Settle();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_FALSE(Extension(node)->DeviceStarted);
    EXPECT_EQ(which == 1 ? Extension(node)->ReaderThreadObject : Extension(node)->WriterThreadObject, nullptr);
    // Only the other thread, which the removal stops, is still there: the one whose reference
    // failed has ended.
    auto running = threads::Running();
    EXPECT_EQ(running.size(), 1u) << ::testing::PrintToString(running);
    std::string path = InterfacePath();
    HANDLE h = path.empty() ? INVALID_HANDLE_VALUE : OpenPath(path);
    if (h != INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "a port whose start failed was opened";
      CloseHandle(h);
    }
    machine().Unplug(node);
    machine().Settle();
    EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
    EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
    EXPECT_TRUE(handles::Describe().empty());
    EXPECT_TRUE(threads::Running().empty());
    EXPECT_TRUE(io::LiveIrps().empty());
    EXPECT_TRUE(NoPortNamesLeft());
  }
  // With nothing failing, the next adapter starts and its port opens.
  pnp::SetAutoStart(true);
  pnp::DeviceNode* node = Plug(u"T0003");
  ASSERT_EQ(node->State, pnp::DeviceState::Started);
  HANDLE h = OpenPath(InterfacePath());
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  machine().Settle();
  machine().Unplug(node);
  machine().Settle();
  EXPECT_TRUE(threads::Running().empty());
  EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
}

}  // namespace
}  // namespace hk::test
