// The verifier catches faults planted on purpose: each test commits one and takes the report.
#include <thread>

#include "pnp/pnp_manager.h"
#include "routine.h"
#include "test_stack.h"
#include "usb/bus.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class Verifier : public MachineTest {};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(Verifier, DoubleCompletionIsReported) {
  TestStack stack;
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  stack.Send(stack.NewRequest(IRP_MJ_READ));
  ExpectFinding("double-completion");
}

TEST_F(Verifier, LockOrderInversionIsReportedEvenWithoutADeadlock) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL irql;
  KeAcquireSpinLock(&a, &irql);
  KeAcquireSpinLockAtDpcLevel(&b);
  KeReleaseSpinLockFromDpcLevel(&b);
  KeReleaseSpinLock(&a, irql);
  std::thread([&] {
    KIRQL other;
    KeAcquireSpinLock(&b, &other);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, other);
  }).join();
  ExpectFinding("lock-order");
}

TEST_F(Verifier, CompletingWithACancelRoutineIsReported) {
  TestStack stack;
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  stack.Send(stack.NewRequest(IRP_MJ_READ));
  ExpectFinding("cancel");
}

TEST_F(Verifier, PendingWithoutMarkAndStatusMismatchAreReported) {
  TestStack stack;
  PIRP held = nullptr;
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  };
  stack.Send(stack.NewRequest(IRP_MJ_READ));
  CompleteWith(held, STATUS_SUCCESS);  // the mark is due by the time completion reaches it
  ExpectFinding("pending");

  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_NOT_SUPPORTED);
    return STATUS_SUCCESS;
  };
  stack.Send(stack.NewRequest(IRP_MJ_PNP));
  ExpectFinding("status");
}

TEST_F(Verifier, WaitingAtDispatchLevelAndPagedPoolThereAreReported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  void* p = ExAllocatePoolWithTag(PagedPool, 16, 0x74736554);
  KeLowerIrql(old);
  ExFreePool(p);
  auto findings = ExpectFinding("irql");
  EXPECT_EQ(findings.size(), 2u);
}

TEST_F(Verifier, ReleasingAnUnheldLockAndFreeingTwiceAreReported) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  ExpectFinding("spin-lock");
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554);
  ExFreePool(p);
  ExFreePool(p);
  ExpectFinding("pool");
}

TEST_F(Verifier, DeviceDeletedWhileItOwnsARequestIsReported) {
  PIRP held = nullptr;
  {
    TestStack stack;
    stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held = irp;
      return STATUS_PENDING;
    };
    stack.Send(stack.NewRequest(IRP_MJ_READ));
  }
  ExpectFinding("lost-irp");
  CompleteWith(held, STATUS_CANCELLED);
}

// A driver that keeps an allocation past its unload.
PVOID g_leaked;
NTSTATUS LeakyAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_UNSUCCESSFUL; }
NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_leaked = ExAllocatePoolWithTag(NonPagedPool, 32, 0x6B61654C);
  driver->DriverExtension->AddDevice = LeakyAddDevice;
  return STATUS_SUCCESS;
}

class Bare : public usb::Function {
 public:
  USHORT VendorId() const override { return 0x1234; }
  USHORT ProductId() const override { return 0x0001; }
  std::u16string SerialNumber() const override { return u""; }
  std::vector<UCHAR> DeviceDescriptor() const override { return {}; }
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR) const override { return {}; }
  USBD_STATUS Control(const usb::SetupPacket&, UCHAR*, ULONG&) override { return USBD_STATUS_STALL_PID; }
  void Submit(usb::TransferPtr) override {}
};

TEST_F(Verifier, PoolLeftAllocatedWhenTheDriverUnloadsIsReported) {
  pnp::RegisterDriver(u"USB\\Vid_1234&Pid_0001", {u"Leaky", LeakyEntry});
  pnp::DeviceNode* node = machine().PlugIn(std::make_shared<Bare>());
  EXPECT_EQ(node->State, pnp::DeviceState::AddFailed);
  auto findings = ExpectFinding("pool-leak");
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].message.find("'Leak'"), std::string::npos) << findings[0].message;
  machine().Unplug(node);
  ExFreePool(g_leaked);  // else the machine reports it again when it shuts down
}

}  // namespace
}  // namespace hk::test
