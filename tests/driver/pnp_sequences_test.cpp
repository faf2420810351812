// Plug and Play with the port in use: query-remove, cancel-remove, surprise removal, stop and
// restart with requests in flight, what is kept from the lower drivers, and removal leaving
// nothing behind.
#include <chrono>
#include <thread>

#include "control_surface.h"
#include "io/io_manager.h"
#include "kernel/pool.h"
#include "pnp/power_manager.h"
#include "rtl/strings.h"
#include "usb/bus.h"

namespace hk::test {
namespace {

constexpr UCHAR kBulkIn = 0x81;
constexpr UCHAR kBulkOut = 0x02;
constexpr UCHAR kCredit = 0x83;

// Waits (in real time) for another thread to get somewhere; a bounded wait, not a delay.
bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 5000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

bool Saw(pnp::DeviceNode* node, UCHAR minor) {
  for (UCHAR m : usb::PnpRequestsSeen(node))
    if (m == minor) return true;
  return false;
}

class PnpSequences : public ControlSurfaceTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = ControlSurfaceTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    return o;
  }
  // What is left once the last device of the driver is gone.
  ::testing::AssertionResult NothingLeft() {
    if (pnp::LoadedDriver(u"Orvix")) return ::testing::AssertionFailure() << "the driver is still loaded";
    auto live = pool::Live();
    if (!live.empty()) return ::testing::AssertionFailure() << pool::Describe(live);
    auto irps = io::LiveIrps();
    if (!irps.empty()) return ::testing::AssertionFailure() << irps.size() << " IRP(s) left, first: " << irps[0];
    return NoPortNamesLeft();
  }
};

TEST_F(PnpSequences, QueryRemoveCancelsTheReadTheWriteAndBothTransfersAndRemovalWaitsForTheClose) {
  Open();
  SetTimeouts(0, 0, 0);
  auto read = StartRead(10);
  Device().StallNext(kBulkOut);
  auto write = StartWrite(Bytes("in flight"));
  ASSERT_FALSE(read->Done());
  ASSERT_FALSE(write->Done());
  ASSERT_EQ(Device().PendingTransfers(kBulkIn), 1u);
  ASSERT_EQ(Device().PendingTransfers(kBulkOut), 1u);

  EXPECT_EQ(pnp::QueryRemoveAndRemove(Node()), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(read->Done() && write->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Bytes(), 0u);
  EXPECT_EQ(Device().PendingTransfers(kBulkIn), 0u);
  EXPECT_EQ(Device().PendingTransfers(kBulkOut), 0u);
  EXPECT_TRUE(Saw(Node(), IRP_MN_QUERY_REMOVE_DEVICE));
  EXPECT_EQ(Node()->State, pnp::DeviceState::RemovePending) << "a handle is still open";
  EXPECT_EQ(Ext()->RemovePending, TRUE);

  // Nothing new is taken while the removal is pending.
  read = StartRead(1);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_DELETE_PENDING);
  Close();
  EXPECT_EQ(Node()->State, pnp::DeviceState::Removed);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(PnpSequences, QueryRemoveGoesDownOnlyAfterEveryOtherCountedDispatchRoutineHasLeft) {
  // A wait/wake request holds its dispatch routine (and its I/O reference) until the device
  // wakes; the device must be in D2 to take one.
  auto d2 = power::RequestDevicePowerState(Node(), PowerDeviceD2);
  machine().Settle();
  ASSERT_EQ(d2->Status(), STATUS_SUCCESS);
  auto wake = power::ArmWaitWake(Node(), PowerSystemSleeping3);
  machine().Settle();
  ASSERT_TRUE(power::WakeArmedAtBus(Node()));
  ASSERT_EQ(Ext()->IoCount, 2);

  NTSTATUS query = STATUS_PENDING;
  std::thread pnpThread([&] { query = pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE); });
  // Not ASSERT: the thread must be let go and joined whatever happens.
  EXPECT_TRUE(Eventually([&] { return ReadBooleanNoFence(&Ext()->RemovePending) == TRUE; }));
  EXPECT_FALSE(Saw(Node(), IRP_MN_QUERY_REMOVE_DEVICE)) << "passed down while a dispatch routine was inside";
  EXPECT_EQ(query, STATUS_PENDING);

  power::SignalWake(Node());
  pnpThread.join();
  machine().Settle();
  EXPECT_EQ(query, STATUS_SUCCESS);
  EXPECT_TRUE(Saw(Node(), IRP_MN_QUERY_REMOVE_DEVICE));
  EXPECT_TRUE(wake->Done());
  EXPECT_EQ(wake->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD2) << "no power-up for a device about to go";
  EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(PnpSequences, CancelRemoveRestartsReadingWhenAPacketStillFits) {
  Open();
  ASSERT_EQ(pnp::QueryRemoveThenCancel(Node()), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_FALSE(Ext()->RemovePending);
  EXPECT_EQ(Device().PendingTransfers(kBulkIn), 1u);
  SetTimeouts(0, 0, 0);
  Device().ReceiveFromLine(Bytes("after"));
  machine().Settle();
  auto read = StartRead(5);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(std::string(read->Buffer.begin(), read->Buffer.end()), "after");
}

TEST_F(PnpSequences, CancelRemoveLeavesReadingStoppedWhenLessThanAPacketIsFree) {
  Open();
  for (ULONG free : {62u, 64u}) {
    SCOPED_TRACE(free);
    ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    machine().Settle();
    ASSERT_EQ(Device().PendingTransfers(kBulkIn), 0u);
    // The buffer as a long run of status units leaves it: full to within `free` bytes.
    Ext()->RxCount = RX_BUFFER_SIZE - free;
    Ext()->RxStatusCount = Ext()->RxCount;
    ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    machine().Settle();
    EXPECT_EQ(Device().PendingTransfers(kBulkIn), free >= 64 ? 1u : 0u);
    EXPECT_EQ(Ext()->BulkInActive, free >= 64);
    // Emptying the buffer lets reading go on in either case.
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof purge), STATUS_SUCCESS);
    machine().Settle();
    EXPECT_EQ(Device().PendingTransfers(kBulkIn), 1u);
  }
}

class PnpWithTimedLine : public PnpSequences {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = PnpSequences::AdapterSetup();
    o.Unthrottled = false;  // 9600 bit/s: a long write takes seconds
    o.Partner = adapter::LinePartner::None;
    return o;
  }
  std::unique_ptr<Pending> LongWriteAndWait(std::unique_ptr<Pending>* wait) {
    ULONG mask = SERIAL_EV_RXFLAG | SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
    *wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    auto write = StartWrite(std::vector<UCHAR>(2000, 'L'));
    machine().AdvanceMs(100);
    EXPECT_FALSE(write->Done());
    EXPECT_FALSE((*wait)->Done());
    EXPECT_GT(Device().TakeTransmitted().size(), 0u) << "the write is under way";
    return write;
  }
};

TEST_F(PnpWithTimedLine, SurpriseRemovalCancelsALongWriteAndThePendingWaitAndMarksTheLinesChanged) {
  Open();
  std::unique_ptr<Pending> wait;
  auto write = LongWriteAndWait(&wait);
  pnp::SurpriseRemove(Node());
  machine().Settle();
  ASSERT_TRUE(write->Done() && wait->Done());
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Bytes(), 0u);
  EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
  EXPECT_EQ(Node()->State, pnp::DeviceState::SurpriseRemoved);
  EXPECT_EQ(Device().PendingTransfers(kBulkIn) + Device().PendingTransfers(kCredit), 0u);
  EXPECT_FALSE(LinkTarget("COM5").has_value()) << "the port's name goes at once";

  // The application learns from its next wait that every line changed.
  auto next = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
  EXPECT_EQ(*(ULONG*)next->Buffer.data(), (ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING));
  ULONG modem = 0xFF;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, sizeof modem), STATUS_SUCCESS);
  EXPECT_EQ(modem, 0u);
  auto late = StartWrite(Bytes("late"));
  ASSERT_TRUE(late->Done());
  EXPECT_EQ(late->Status(), STATUS_DELETE_PENDING);
  Close();
  EXPECT_EQ(Node()->State, pnp::DeviceState::Removed);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(PnpWithTimedLine, AfterACancelledRemovalWhatALongWriteLeftIsSentAndWritesAreTakenAgain) {
  Open();
  std::unique_ptr<Pending> wait;
  auto write = LongWriteAndWait(&wait);
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  auto queued = [this] {  // under TxLock, where the writer takes characters out
    KIRQL irql;
    KeAcquireSpinLock(&Ext()->TxLock, &irql);
    ULONG count = Ext()->TxCount;
    KeReleaseSpinLock(&Ext()->TxLock, irql);
    return count;
  };
  ASSERT_GT(queued(), 0u) << "the aborted write's queued characters are still to go";
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  for (int i = 0; i < 5000 && queued() != 0; ++i) machine().AdvanceMs(10);
  EXPECT_EQ(queued(), 0u) << "the writer did not go on after the removal was cancelled";
  auto next = StartWrite(Bytes("next"));
  for (int i = 0; i < 100 && !next->Done(); ++i) machine().AdvanceMs(10);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
  EXPECT_EQ(next->Bytes(), 4u);
  Close();
  EXPECT_TRUE(wait->Done()) << "the wait kept through the cancelled removal ends with the handle";
}

TEST_F(PnpWithTimedLine, UnpluggedDuringALongWriteTheWriteFailsAndTheWaitIsCancelled) {
  Open();
  std::unique_ptr<Pending> wait;
  auto write = LongWriteAndWait(&wait);
  machine().Unplug(Node());
  ASSERT_TRUE(write->Done() && wait->Done());
  // The bus fails the transfer in flight before the removal reaches the driver.
  EXPECT_TRUE(write->Status() == STATUS_DEVICE_NOT_CONNECTED || write->Status() == STATUS_CANCELLED)
      << std::hex << write->Status();
  EXPECT_EQ(write->Bytes(), 0u);
  EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
  Close();
  EXPECT_TRUE(NothingLeft());
}

TEST_F(PnpSequences, StopIsRefusedWhileOpenWithoutTheBusHearingOfItAndAcceptedAfterClose) {
  Open();
  EXPECT_EQ(pnp::StopAndRestart(Node()), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Saw(Node(), IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_TRUE(Saw(Node(), IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_FALSE(Ext()->StopPending);
  SetTimeouts(0, 0, 0);
  auto write = StartWrite(Bytes("still here"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  auto read = StartRead(10);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(std::string(read->Buffer.begin(), read->Buffer.end()), "still here");
  Close();
  EXPECT_EQ(pnp::StopAndRestart(Node()), STATUS_SUCCESS);
  EXPECT_TRUE(Saw(Node(), IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_TRUE(Saw(Node(), IRP_MN_STOP_DEVICE));
  EXPECT_EQ(Node()->State, pnp::DeviceState::Started);
}

TEST_F(PnpSequences, AfterStopAndStartThePortHasItsComNameBackAndWorksThroughItsInterface) {
  ASSERT_EQ(pnp::StopAndRestart(Node()), STATUS_SUCCESS);
  EXPECT_TRUE(LinkTarget("COM5").has_value());
  EXPECT_EQ(SerialComm().size(), 1u);
  auto interfaces = io::EnabledInterfaces(kPortInterface);
  ASSERT_EQ(interfaces.size(), 1u);
  HANDLE byName = win32::CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     win32::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(byName, win32::INVALID_HANDLE_VALUE) << std::hex << win32::GetLastNtStatus();
  win32::CloseHandle(byName);
  machine().Settle();

  HANDLE h = win32::CreateFileA(rtl::ToAscii(interfaces[0]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                win32::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, win32::INVALID_HANDLE_VALUE) << std::hex << win32::GetLastNtStatus();
  SERIAL_TIMEOUTS t{0, 0, 0, 0, 0};
  win32::DWORD n = 0;
  ASSERT_TRUE(win32::DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n, nullptr));
  ASSERT_TRUE(win32::WriteFile(h, "restarted", 9, &n, nullptr));
  EXPECT_EQ(n, 9u);
  char back[9] = {};
  ASSERT_TRUE(win32::ReadFile(h, back, 9, &n, nullptr));
  EXPECT_EQ(std::string(back, n), "restarted");
  EXPECT_EQ(Device().ControlRequests().back().Setup.Request, 1) << "the open went to the restarted adapter";
  win32::CloseHandle(h);
  machine().Settle();
}

TEST_F(PnpSequences, RemovalAfterTrafficFreesEveryAllocationAndEveryRequest) {
  Open();
  SetTimeouts(0, 0, 0);
  for (int i = 0; i < 5; ++i) {
    auto write = StartWrite(std::vector<UCHAR>(300, (UCHAR)('a' + i)));
    ASSERT_TRUE(write->Done());
    auto read = StartRead(300);
    ASSERT_TRUE(read->Done());
  }
  auto read = StartRead(10);  // left pending: the removal ends it
  ASSERT_FALSE(read->Done());
  machine().Unplug(Node());
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(Node()->State, pnp::DeviceState::SurpriseRemoved) << "waits for the handle";
  EXPECT_NE(pnp::LoadedDriver(u"Orvix"), nullptr);
  Close();
  EXPECT_EQ(Node()->State, pnp::DeviceState::Removed);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(PnpSequences, CapabilitiesAndDeviceStateQueriesAreAnsweredAboveTheBus) {
  auto before = usb::PnpRequestsSeen(Node());
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.UINumber = 1234;
  static DEVICE_CAPABILITIES* target;
  target = &caps;
  ULONG_PTR info = 0;
  EXPECT_EQ(SendSystemRequest(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                              [](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = target; },
                              &info),
            STATUS_NOT_SUPPORTED)
      << "completed with the status it arrived with";
  EXPECT_EQ(caps.UINumber, 1234u) << "nobody filled the record";
  EXPECT_EQ(SendSystemRequest(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, &info), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usb::PnpRequestsSeen(Node()), before);
  // Other queries do go down.
  EXPECT_EQ(SendSystemRequest(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(Saw(Node(), IRP_MN_QUERY_RESOURCES));
}

TEST_F(PnpSequences, FilterResourceRequirementsKeepsAListFromBelowOrOffersTheOneItWasGiven) {
  struct Case {
    const char* what;
    ULONG_PTR arriving;  // Information the request carries down
    bool list;           // the stack location names a list
    NTSTATUS status;
    bool infoIsList;
  } cases[] = {
      {"a list from below", 0x5A5A0, false, STATUS_SUCCESS, false},
      {"the list it was given", 0, true, STATUS_SUCCESS, true},
      {"no list at all", 0, false, STATUS_NOT_SUPPORTED, false},
  };
  static int dummyList;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT top = io::TopOfStack(Fdo(Node()));
    ULONG_PTR info = 1;
    PIRP irp = io::AllocateSystemIrp(top->StackSize, [&info](PIRP done) { info = done->IoStatus.Information; });
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
    sp->Parameters.FilterResourceRequirements.IoResourceRequirementList =
        c.list ? (PIO_RESOURCE_REQUIREMENTS_LIST)&dummyList : nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = c.arriving;
    EXPECT_EQ(io::SendAndWait(top, irp), c.status);
    EXPECT_EQ(info, c.infoIsList ? (ULONG_PTR)&dummyList : c.arriving);
  }
  EXPECT_TRUE(Saw(Node(), IRP_MN_FILTER_RESOURCE_REQUIREMENTS));
}

TEST_F(PnpSequences, BusRelationsAreRefusedOnlyWhileThePortIsOpen) {
  auto relations = [this](DEVICE_RELATION_TYPE type) {
    static DEVICE_RELATION_TYPE asked;
    asked = type;
    return SendSystemRequest(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                             [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = asked; });
  };
  Open();
  size_t seen = usb::PnpRequestsSeen(Node()).size();
  EXPECT_EQ(relations(BusRelations), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usb::PnpRequestsSeen(Node()).size(), seen) << "refused here";
  relations(RemovalRelations);
  EXPECT_EQ(usb::PnpRequestsSeen(Node()).size(), seen + 1) << "other relations go down";
  Close();
  relations(BusRelations);
  EXPECT_EQ(usb::PnpRequestsSeen(Node()).size(), seen + 2);
}

}  // namespace
}  // namespace hk::test
