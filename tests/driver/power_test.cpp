// Power: system sleep and wake turned into device requests of the driver's own, the order in
// which the bus sees them, device states recorded before or after the lower drivers, the idle
// states that issue nothing, query-power, and wait/wake.
#include <sstream>

#include "control_surface.h"
#include "kernel/faults.h"
#include "pnp/power_manager.h"
#include "usb/bus.h"
#include "usb/usb.h"

namespace hk::test {
namespace {

// The power requests the bus saw, as text: "D3 S2" is a device SET_POWER to D3 followed by a
// system SET_POWER to S1 (state 2); "q" marks a query, "w" a wait/wake.
std::string Describe(const std::vector<usb::PowerRequestSeen>& seen, size_t from = 0) {
  std::ostringstream out;
  for (size_t i = from; i < seen.size(); ++i) {
    const auto& r = seen[i];
    if (i > from) out << ' ';
    if (r.Minor == IRP_MN_WAIT_WAKE) {
      out << "wS" << r.State.SystemState;
      continue;
    }
    if (r.Minor == IRP_MN_QUERY_POWER) out << 'q';
    if (r.Type == DevicePowerState) out << 'D' << (r.State.DeviceState - 1);
    else out << 'S' << r.State.SystemState;
  }
  return out.str();
}

class Power : public ControlSurfaceTest {
 protected:
  void SetUp() override {
    ControlSurfaceTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Ext()->CurrentPowerState, PowerDeviceD0) << "the start powered the device up";
    mark_ = usb::PowerRequestsSeen(Node()).size();
  }
  // What the bus saw since the last call.
  std::string Seen() {
    auto seen = usb::PowerRequestsSeen(Node());
    std::string text = Describe(seen, mark_);
    mark_ = seen.size();
    return text;
  }
  NTSTATUS System(SYSTEM_POWER_STATE state) {
    NTSTATUS status = power::SetSystemPowerState(Node(), state);
    machine().Settle();
    return status;
  }
  void Device(DEVICE_POWER_STATE state) {
    auto request = power::RequestDevicePowerState(Node(), state);
    machine().Settle();
    ASSERT_TRUE(request->Done());
    ASSERT_EQ(request->Status(), STATUS_SUCCESS);
  }
  // Every self-issued request and held system request is over.
  void ExpectIdle() {
    EXPECT_EQ(Ext()->IoCount, 1);
    EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_FALSE(Ext()->PowerRequestBusy);
  }

 private:
  size_t mark_ = 0;
};

class SystemSleep : public Power, public ::testing::WithParamInterface<SYSTEM_POWER_STATE> {};

TEST_P(SystemSleep, WithoutWaitWakeTheDeviceGoesToD3FirstAndBackToD0OnWaking) {
  Open();
  const SYSTEM_POWER_STATE s = GetParam();
  EXPECT_EQ(System(s), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "D3 S" + std::to_string(s)) << "the system request goes down after the device request";
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD3);
  EXPECT_EQ(usb::PdoPowerState(Node()), PowerDeviceD3);
  ExpectIdle();
  EXPECT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "D0 S1");
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  ExpectIdle();
  // The port works on after the round trip.
  SetTimeouts(0, 0, 0);
  auto write = StartWrite(Bytes("awake"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(S1ToS5, SystemSleep,
                         ::testing::Values(PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                           PowerSystemHibernate, PowerSystemShutdown));

TEST_F(Power, TheSystemRequestIsHeldUntilTheDeviceRequestHasCompleted) {
  usb::HoldDevicePowerRequests(Node(), true);
  auto sleep = power::StartSystemPowerState(Node(), PowerSystemSleeping3);
  machine().Settle();
  EXPECT_EQ(Seen(), "D3");
  EXPECT_FALSE(sleep->Done());
  EXPECT_NE(Ext()->HeldSystemPowerIrp, nullptr);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD3) << "D3 is recorded before the lower drivers see it";
  usb::ReleaseDevicePowerRequests(Node());
  machine().Settle();
  EXPECT_EQ(Seen(), "S4");
  ASSERT_TRUE(sleep->Done());
  EXPECT_EQ(sleep->Status(), STATUS_SUCCESS);
  ExpectIdle();

  auto wake = power::StartSystemPowerState(Node(), PowerSystemWorking);
  machine().Settle();
  EXPECT_EQ(Seen(), "D0");
  EXPECT_FALSE(wake->Done());
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD3) << "D0 is recorded only once the lower drivers are done";
  usb::ReleaseDevicePowerRequests(Node());
  machine().Settle();
  EXPECT_EQ(Seen(), "S1");
  ASSERT_TRUE(wake->Done());
  EXPECT_EQ(wake->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  ExpectIdle();
}

TEST_F(Power, ASystemRequestForTheRecordedDeviceStateGoesStraightDown) {
  EXPECT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "S1") << "already in D0";
  EXPECT_EQ(System(PowerSystemSleeping2), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "D3 S3");
  EXPECT_EQ(System(PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "S5") << "already in D3";
  ExpectIdle();
}

TEST_F(Power, DeviceSleepStatesAreRecordedBeforeTheyGoDownAndD0OnlyAfterwardsAlwaysAsSuccess) {
  usb::HoldDevicePowerRequests(Node(), true);
  for (DEVICE_POWER_STATE d : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    SCOPED_TRACE(d);
    auto request = power::RequestDevicePowerState(Node(), d);
    machine().Settle();
    ASSERT_EQ(usb::HeldDevicePowerRequests(Node()), 1u);
    EXPECT_EQ(Ext()->CurrentPowerState, d);
    usb::ReleaseDevicePowerRequests(Node(), STATUS_UNSUCCESSFUL);
    machine().Settle();
    ASSERT_TRUE(request->Done());
    EXPECT_EQ(request->Status(), STATUS_UNSUCCESSFUL) << "a sleep state is passed on as the bus answered";
  }
  auto up = power::RequestDevicePowerState(Node(), PowerDeviceD0);
  machine().Settle();
  ASSERT_EQ(usb::HeldDevicePowerRequests(Node()), 1u);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD3);
  usb::ReleaseDevicePowerRequests(Node(), STATUS_UNSUCCESSFUL);
  machine().Settle();
  ASSERT_TRUE(up->Done());
  EXPECT_EQ(up->Status(), STATUS_SUCCESS) << "a power-up is always reported successful";
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);

  usb::HoldDevicePowerRequests(Node(), false);
  Device(PowerDeviceUnspecified);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0) << "an unspecified state is not recorded";
  EXPECT_EQ(Seen(), "D1 D2 D3 D0 D-1");
  ExpectIdle();
}

TEST_F(Power, WithAnIdleStateOfD0OrUnspecifiedTheDriverRequestsNoPowerChange) {
  Device(PowerDeviceD3);
  Seen();
  for (DEVICE_POWER_STATE idle : {PowerDeviceD0, PowerDeviceUnspecified}) {
    SCOPED_TRACE(idle);
    Ext()->IdlePowerState = idle;
    EXPECT_EQ(ChangeDevicePower(Fdo(Node()), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ChangeDevicePower(Fdo(Node()), FALSE), STATUS_SUCCESS);
    machine().Settle();
    EXPECT_EQ(Seen(), "");
    EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD3);
  }
  Ext()->IdlePowerState = PowerDeviceD2;
  EXPECT_EQ(ChangeDevicePower(Fdo(Node()), TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0) << "a power-up is waited for";
  EXPECT_EQ(ChangeDevicePower(Fdo(Node()), FALSE), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(Seen(), "D0 D2");
  ExpectIdle();

  // A restart configures the device again, and with it the idle state.
  ASSERT_EQ(pnp::StopAndRestart(Node()), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->IdlePowerState, PowerDeviceD1);
}

TEST_F(Power, ADeviceThatIsNotReadyOrARequestThatCannotBeIssuedChangesNothing) {
  Open();
  Close();
  EXPECT_EQ(ChangeDevicePower(Fdo(Node()), FALSE), STATUS_DELETE_PENDING) << "a closed port is not ready";
  Open();
  faults::FailPowerRequests(1);
  EXPECT_EQ(ChangeDevicePower(Fdo(Node()), FALSE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  machine().Settle();
  EXPECT_EQ(Seen(), "");
  ExpectIdle();
}

TEST_F(Power, ASystemRequestWhoseDeviceRequestCannotBeIssuedStillGoesDown) {
  faults::FailPowerRequests(1);
  EXPECT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "S4");
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  ExpectIdle();
  EXPECT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "D3 S4") << "the next one works as usual";
}

TEST_F(Power, QueryPowerIsAlwaysPassedDown) {
  Open();
  EXPECT_EQ(power::QuerySystemPowerState(Node(), PowerSystemSleeping3), STATUS_SUCCESS);
  auto query = power::QueryDevicePowerState(Node(), PowerDeviceD3);
  machine().Settle();
  EXPECT_EQ(query->Status(), STATUS_SUCCESS);
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(power::QuerySystemPowerState(Node(), PowerSystemHibernate), STATUS_SUCCESS)
      << "not refused even with a removal pending";
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "qS4 qD3 qS5");
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  ExpectIdle();
}

TEST_F(Power, WaitWakeIsRefusedInD0AndInAStateShallowerThanTheWakeState) {
  auto wake = power::ArmWaitWake(Node(), PowerSystemSleeping3);
  machine().Settle();
  ASSERT_TRUE(wake->Done());
  EXPECT_EQ(wake->Status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Ext()->IdlePowerState, PowerDeviceD2) << "the wake state becomes the idle state all the same";
  Device(PowerDeviceD1);
  wake = power::ArmWaitWake(Node(), PowerSystemSleeping3);
  machine().Settle();
  ASSERT_TRUE(wake->Done());
  EXPECT_EQ(wake->Status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Seen(), "D1") << "neither reached the bus";
  EXPECT_FALSE(power::WakeArmedAtBus(Node()));
  ExpectIdle();
}

TEST_F(Power, WaitWakeArmedInD2CompletesWhenTheDeviceSignalsAndPowersTheDeviceUp) {
  Open();
  Device(PowerDeviceD2);
  auto wake = power::ArmWaitWake(Node(), PowerSystemSleeping3);
  machine().Settle();
  EXPECT_FALSE(wake->Done());
  EXPECT_TRUE(power::WakeArmedAtBus(Node()));
  EXPECT_TRUE(Ext()->WakeArmed);
  // While armed, sleep keeps the device in the state the capabilities name for it.
  EXPECT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "D2 wS4 S4") << "D2 already: straight down";

  power::SignalWake(Node());
  machine().Settle();
  ASSERT_TRUE(wake->Done());
  EXPECT_EQ(wake->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Seen(), "D0");
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  EXPECT_FALSE(Ext()->WakeArmed);
  ExpectIdle();
}

TEST_F(Power, ACancelledWaitWakeIsCompletedCancelled) {
  Device(PowerDeviceD2);
  auto wake = power::ArmWaitWake(Node(), PowerSystemSleeping3);
  machine().Settle();
  ASSERT_TRUE(power::WakeArmedAtBus(Node()));
  EXPECT_TRUE(wake->Cancel());
  machine().Settle();
  ASSERT_TRUE(wake->Done());
  EXPECT_EQ(wake->Status(), STATUS_CANCELLED);
  EXPECT_FALSE(power::WakeArmedAtBus(Node()));
  EXPECT_FALSE(Ext()->WakeArmed);
  EXPECT_FALSE(wake->Cancel()) << "nothing left to cancel";
  ExpectIdle();
}

TEST_F(Power, ASecondPowerUpWaitsForItsOwnCompletion) {
  ASSERT_EQ(KeReadStateEvent(&Ext()->PowerRequestDoneEvent), 1) << "the start's power-up set the event";
  Device(PowerDeviceD2);
  auto wake = power::ArmWaitWake(Node(), PowerSystemSleeping3);
  machine().Settle();
  usb::HoldDevicePowerRequests(Node(), true);
  power::SignalWake(Node());
  machine().Settle();
  ASSERT_EQ(usb::HeldDevicePowerRequests(Node()), 1u) << "the wake asked for D0";
  EXPECT_TRUE(Ext()->PowerRequestBusy) << "and waits for it";
  EXPECT_TRUE(Ext()->WakeArmed);
  EXPECT_EQ(Ext()->IoCount, 4) << "the wait/wake dispatch, the request issued and the request passing through";
  usb::ReleaseDevicePowerRequests(Node());
  machine().Settle();
  EXPECT_FALSE(Ext()->WakeArmed);
  EXPECT_EQ(Ext()->CurrentPowerState, PowerDeviceD0);
  ExpectIdle();
}

}  // namespace
}  // namespace hk::test
