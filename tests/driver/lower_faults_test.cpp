// Lower requests that fail or never answer: descriptor and configuration requests failing at
// the bus, each vendor request refused by the adapter, the credit pipe and the bulk-in pipe
// failing or stalling under I/O. Each time the caller gets a clear status, nothing is left once
// the adapter is unplugged, and the port works again when the fault is gone.
#include "app/comm.h"
#include "app/win32.h"
#include "io/io_manager.h"
#include "kernel/faults.h"
#include "kernel/pool.h"
#include "open_port.h"
#include "pnp/pnp_manager.h"

namespace hk::test {
namespace {

using namespace win32;

class LowerFaults : public OpenPortTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = OpenPortTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    return o;
  }

  // An overlapped transfer given `ms` of virtual time and then cancelled; its final status.
  NTSTATUS Transfer(bool write, ULONG length, ULONG ms, ULONG* moved = nullptr) {
    auto p = write ? StartWrite(std::vector<UCHAR>(length, 'w')) : StartRead(length);
    machine().AdvanceMs(ms);
    if (!p->Done()) {
      CancelIoEx(Handle(), &p->Ov);
      machine().Settle();
    }
    EXPECT_TRUE(p->Done()) << "a cancelled request must complete";
    if (moved) *moved = p->Bytes();
    return p->Status();
  }

  // The port after the fault: a round trip through the loopback plug.
  void ExpectRoundTrip() {
    SetTimeouts(0, 0, 500, 0, 500);
    EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    auto write = StartWrite(Bytes("ok"));
    machine().AdvanceMs(50);
    auto read = StartRead(2);
    machine().AdvanceMs(50);
    EXPECT_TRUE(write->Done() && write->Status() == STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), "ok");
  }

  ::testing::AssertionResult NothingLeftAfterUnplug() {
    Close();
    machine().Unplug(Node());
    if (pnp::LoadedDriver(u"Orvix")) return ::testing::AssertionFailure() << "the driver is still loaded";
    auto live = pool::Live();
    if (!live.empty()) return ::testing::AssertionFailure() << pool::Describe(live);
    if (!io::LiveIrps().empty()) return ::testing::AssertionFailure() << "IRPs left";
    return NoPortNamesLeft();
  }
};

TEST_F(LowerFaults, EachVendorRequestRefusedGivesAClearStatusAndTheNextOneWorks) {
  // Open refused: the open fails, and the next open works.
  Device().FailControl(adapter::kRequestOpen, USBD_STATUS_STALL_PID);
  HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  machine().Settle();
  if (h != INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "an open the adapter refused was reported as a success";
    CloseHandle(h);
  } else {
    EXPECT_NE(GetLastError(), 0u);
  }
  Open();
  // Line settings refused: by design the request still succeeds with the new value stored, and
  // the next change reaches the adapter.
  SERIAL_BAUD_RATE before{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &before, sizeof before), STATUS_SUCCESS);
  Device().FailControl(adapter::kRequestSetLine, USBD_STATUS_STALL_PID);
  SERIAL_BAUD_RATE baud{before.BaudRate == 19200 ? 38400u : 19200u};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud), STATUS_SUCCESS);
  size_t blocks = Device().LineSettings().size();
  SERIAL_BAUD_RATE again{before.BaudRate};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &again, sizeof again), STATUS_SUCCESS);
  EXPECT_EQ(Device().LineSettings().size(), blocks + 1);
  ExpectRoundTrip();
  // Close refused: the close still ends, and the port opens again.
  Device().FailControl(adapter::kRequestClose, USBD_STATUS_STALL_PID);
  Close();
  Open();
  ExpectRoundTrip();
  EXPECT_TRUE(NothingLeftAfterUnplug());
}

TEST_F(LowerFaults, TheCreditPipeFailingOrStallingHoldsNoWriteForeverAndClosesCleanly) {
  Open();
  SetTimeouts(0, 0, 0, 0, 200);
  for (bool stall : {false, true}) {
    SCOPED_TRACE(stall ? "stalled" : "failed");
    // More than the granted credit, so that the writer must ask for more.
    if (stall) Device().StallNext(adapter::kCreditEndpoint);
    else Device().FailNext(adapter::kCreditEndpoint, USBD_STATUS_STALL_PID);
    // Completed one way or another: with the data sent, timed out, cancelled, or an error.
    EXPECT_NE(Transfer(true, 600, 1000), STATUS_PENDING);
    Close();
    Open();
    ExpectRoundTrip();
  }
  EXPECT_TRUE(NothingLeftAfterUnplug());
}

TEST_F(LowerFaults, TheBulkInPipeFailingOrStallingEndsReadsByTheirTimeoutsAndClosesCleanly) {
  Open();
  for (bool stall : {false, true}) {
    SCOPED_TRACE(stall ? "stalled" : "failed");
    EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    machine().Settle();
    if (stall) Device().StallNext(adapter::kDataInEndpoint);
    else Device().FailNext(adapter::kDataInEndpoint, USBD_STATUS_STALL_PID);
    machine().Settle();
    SetTimeouts(0, 0, 100);
    ULONG moved = 0;
    EXPECT_EQ(Transfer(false, 4, 300, &moved), STATUS_TIMEOUT);
    EXPECT_EQ(moved, 0u);
    Close();
    Open();
    machine().AdvanceMs(1100);  // past the retry after a failed transfer
    ExpectRoundTrip();
  }
  EXPECT_TRUE(NothingLeftAfterUnplug());
}

class LowerFaultsWhilePlugging : public PortTest {};

TEST_F(LowerFaultsWhilePlugging, DescriptorAndConfigurationRequestsFailingRefuseTheStartCleanly) {
  const struct {
    const char* what;
    USHORT function;
  } requests[] = {{"GET_DESCRIPTOR", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE},
                  {"SELECT_CONFIGURATION", URB_FUNCTION_SELECT_CONFIGURATION}};
  for (const auto& r : requests) {
    for (unsigned n = 1; n < 10; ++n) {
      SCOPED_TRACE(std::string(r.what) + " " + std::to_string(n));
      faults::FailUrb(r.function, n);
      pnp::DeviceNode* node = Plug();
      unsigned hit = faults::UrbFailures();
      faults::Clear();
      ASSERT_NE(node, nullptr);
      if (hit) {
        EXPECT_NE(node->State, pnp::DeviceState::Started) << "a failed " << r.what << " must refuse the start";
        EXPECT_FALSE(NT_SUCCESS(node->LastStatus));
      }
      machine().Unplug(node);
      EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
      EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
      EXPECT_TRUE(NoPortNamesLeft());
      if (!hit) break;
    }
  }
  // Un-configuring failing (the driver un-configures at a stop; a removal finds the device
  // gone): the stop and the removal after it still leave nothing.
  pnp::DeviceNode* node = Plug();
  ASSERT_EQ(node->State, pnp::DeviceState::Started);
  faults::FailUrb(URB_FUNCTION_SELECT_CONFIGURATION, 1);
  EXPECT_EQ(pnp::SendPnp(node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(pnp::SendPnp(node, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(faults::UrbFailures(), 1u) << "the un-configure request was never failed";
  faults::Clear();
  machine().Unplug(node);
  EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr);
  EXPECT_TRUE(pool::Live().empty()) << pool::Describe(pool::Live());
  EXPECT_TRUE(NoPortNamesLeft());
}

}  // namespace
}  // namespace hk::test
