// Completion up a device stack: which routine runs with which device, where
// STATUS_MORE_PROCESSING_REQUIRED stops the walk, how pending travels up, and the requests
// the I/O manager builds for drivers.
#include <atomic>
#include <thread>

#include "app/win32.h"
#include "routine.h"
#include "test_stack.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class Completion : public MachineTest {};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(Completion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  TestStack stack;
  NTSTATUS final = STATUS_PENDING;
  PDEVICE_OBJECT seen = nullptr;
  bool routineRan = false;
  CompletionRoutine routine{[&](PDEVICE_OBJECT device, PIRP) {
    seen = device;
    routineRan = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }};
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletionRoutine::Call, &routine, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(stack.Lower(), irp);
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    EXPECT_TRUE(routineRan);
    EXPECT_EQ(final, STATUS_PENDING) << "the walk must stop in this driver";
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  stack.LowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_DEVICE_BUSY); };
  PIRP irp = stack.NewRequest(IRP_MJ_DEVICE_CONTROL, [&](PIRP done) { final = done->IoStatus.Status; });
  EXPECT_EQ(stack.Send(irp), STATUS_SUCCESS);
  EXPECT_EQ(final, STATUS_SUCCESS);
  EXPECT_EQ(seen, stack.Upper()) << "a routine runs with the device of the driver that set it";
}

TEST_F(Completion, RoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  TestStack stack;
  int calls = 0;
  CompletionRoutine routine{[&](PDEVICE_OBJECT, PIRP) {
    ++calls;
    return STATUS_SUCCESS;
  }};
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletionRoutine::Call, &routine, TRUE, FALSE, FALSE);
    return IofCallDriver(stack.Lower(), irp);
  };
  stack.LowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_UNSUCCESSFUL); };
  EXPECT_EQ(stack.Send(stack.NewRequest(IRP_MJ_READ)), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(calls, 0) << "an error completion skips a success-only routine";
}

TEST_F(Completion, PendingTravelsUpWhenTheLowerDriverCompletesLater) {
  TestStack stack;
  std::atomic<PIRP> held{nullptr};
  bool pendingSeen = false;
  CompletionRoutine routine{[&](PDEVICE_OBJECT, PIRP irp) {
    pendingSeen = irp->PendingReturned;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  }};
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletionRoutine::Call, &routine, TRUE, TRUE, TRUE);
    return IofCallDriver(stack.Lower(), irp);
  };
  stack.LowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  std::atomic<bool> done{false};
  PIRP irp = stack.NewRequest(IRP_MJ_READ, [&](PIRP) { done = true; });
  EXPECT_EQ(stack.Send(irp), STATUS_PENDING);
  EXPECT_FALSE(done);
  std::thread([&] { CompleteWith(held, STATUS_SUCCESS); }).join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(pendingSeen);
}

TEST_F(Completion, ThreadedDeviceControlCopiesOutputAndSignalsItsEvent) {
  TestStack stack;
  stack.LowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 4u);
    auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(buffer[0], 0x1234u);
    buffer[0] = 0xCAFE;
    buffer[1] = 0xBEEF;
    irp->IoStatus.Information = 8;
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  ULONG in = 0x1234, out[2] = {0, 0};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                           stack.Lower(), &in, 4, out, 8, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(stack.Lower(), irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Information, 8u);
  EXPECT_EQ(out[0], 0xCAFEu);
  EXPECT_EQ(out[1], 0xBEEFu);
}

TEST_F(Completion, DriverAllocatedIrpIsReusedAfterItsRoutineReclaimsIt) {
  TestStack stack;
  int completions = 0;
  CompletionRoutine routine{[&](PDEVICE_OBJECT device, PIRP) {
    EXPECT_EQ(device, nullptr) << "the originator's routine gets no device object";
    ++completions;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }};
  stack.LowerDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
  PIRP irp = IoAllocateIrp(stack.Lower()->StackSize, FALSE);
  for (int round = 0; round < 3; ++round) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, CompletionRoutine::Call, &routine, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(stack.Lower(), irp), STATUS_SUCCESS);
  }
  IoFreeIrp(irp);
  EXPECT_EQ(completions, 3);
}

}  // namespace
}  // namespace hk::test
