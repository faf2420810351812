// The I/O reference count and its events, the readiness gate, capabilities at AddDevice, and
// system-control requests passed down untouched.
#include <cstdlib>

#include "io/io_manager.h"
#include "port_fixture.h"
#include "usb/usb.h"

namespace hk::test {
namespace {

class DeviceState : public PortTest {};

// A device object with a fresh extension, for exercising the frame routines on their own.
struct LooseDevice {
  DEVICE_OBJECT Object{};
  PDEVICE_EXTENSION Ext;
  LooseDevice() {
    Ext = static_cast<PDEVICE_EXTENSION>(std::calloc(1, sizeof(DEVICE_EXTENSION)));
    Object.DeviceExtension = Ext;
    KeInitializeEvent(&Ext->DrainedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Ext->RemoveEvent, NotificationEvent, FALSE);
  }
  ~LooseDevice() { std::free(Ext); }
};

TEST_F(DeviceState, ReferenceCountSignalsDrainedAtOneAndRemovedAtZero) {
  LooseDevice d;
  IoIncrement(&d.Object);
  EXPECT_EQ(d.Ext->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&d.Ext->DrainedEvent), 0) << "only a decrement to 1 signals drained";
  IoIncrement(&d.Object);
  IoIncrement(&d.Object);
  EXPECT_EQ(IoDecrement(&d.Object), 2);
  EXPECT_EQ(KeReadStateEvent(&d.Ext->DrainedEvent), 0);
  EXPECT_EQ(IoDecrement(&d.Object), 1);
  EXPECT_EQ(KeReadStateEvent(&d.Ext->DrainedEvent), 1);
  IoIncrement(&d.Object);
  EXPECT_EQ(KeReadStateEvent(&d.Ext->DrainedEvent), 0) << "rising to 2 clears drained";
  IoDecrement(&d.Object);
  EXPECT_EQ(KeReadStateEvent(&d.Ext->RemoveEvent), 0);
  EXPECT_EQ(IoDecrement(&d.Object), 0);
  EXPECT_EQ(KeReadStateEvent(&d.Ext->RemoveEvent), 1);
}

TEST_F(DeviceState, ReadyOnlyWhenStartedAndNothingPendingRemovedOrClosed) {
  LooseDevice d;
  EXPECT_FALSE(DeviceIsReady(&d.Object)) << "not started";
  d.Ext->DeviceStarted = TRUE;
  EXPECT_TRUE(DeviceIsReady(&d.Object)) << "started and never opened";
  BOOLEAN* blockers[] = {&d.Ext->StopPending, &d.Ext->RemovePending, &d.Ext->PortClosed, &d.Ext->DeviceRemoved};
  for (BOOLEAN* flag : blockers) {
    *flag = TRUE;
    EXPECT_FALSE(DeviceIsReady(&d.Object));
    *flag = FALSE;
  }
  EXPECT_TRUE(DeviceIsReady(&d.Object));
}

TEST_F(DeviceState, AfterAddDeviceOnlyTheBaseReferenceIsHeld) {
  pnp::SetAutoStart(false);
  pnp::DeviceNode* node = Plug();
  ASSERT_EQ(node->State, pnp::DeviceState::Added);
  EXPECT_EQ(Extension(node)->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&Extension(node)->DrainedEvent), 0);
  EXPECT_TRUE(Fdo(node)->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(Fdo(node)->Flags & DO_POWER_PAGABLE);
  EXPECT_TRUE(Fdo(node)->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(Fdo(node)->DeviceType, (ULONG)FILE_DEVICE_SERIAL_PORT);
  EXPECT_EQ(pnp::SendPnp(node, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Extension(node)->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&Extension(node)->DrainedEvent), 1);
  machine().Unplug(node);
}

TEST_F(DeviceState, IdleStateIsTheLastSleepStateTheDeviceFollowsInD1OrD2) {
  struct Case {
    DEVICE_POWER_STATE s1, s2, s3, expected;
  } cases[] = {{PowerDeviceD1, PowerDeviceD3, PowerDeviceD2, PowerDeviceD2},
               {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
               {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceUnspecified}};
  pnp::SetAutoStart(false);
  int serial = 0;
  for (const auto& c : cases) {
    DEVICE_CAPABILITIES caps = usb::DefaultCapabilities();
    caps.DeviceState[PowerSystemSleeping1] = c.s1;
    caps.DeviceState[PowerSystemSleeping2] = c.s2;
    caps.DeviceState[PowerSystemSleeping3] = c.s3;
    usb::SetCapabilities(caps);
    pnp::DeviceNode* node = Plug(u"CAPS" + std::u16string(1, (char16_t)(u'0' + serial++)));
    EXPECT_EQ(Extension(node)->IdlePowerState, c.expected);
    EXPECT_EQ(Extension(node)->Capabilities.DeviceWake, caps.DeviceWake);
    machine().Unplug(node);
  }
}

TEST_F(DeviceState, SystemControlGoesDownAsSuccessWhateverTheState) {
  pnp::DeviceNode* node = Plug();
  Extension(node)->RemovePending = TRUE;  // not ready: still passed down
  NTSTATUS final = STATUS_PENDING;
  ULONG_PTR info = 1;
  PIRP irp = io::AllocateSystemIrp(Fdo(node)->StackSize, [&](PIRP done) {
    final = done->IoStatus.Status;
    info = done->IoStatus.Information;
  });
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 77;
  EXPECT_EQ(IofCallDriver(Fdo(node), irp), STATUS_SUCCESS);
  EXPECT_EQ(final, STATUS_SUCCESS);
  EXPECT_EQ(info, 0u);
  EXPECT_EQ(Extension(node)->IoCount, 1);
  Extension(node)->RemovePending = FALSE;
  machine().Unplug(node);
}

}  // namespace
}  // namespace hk::test
