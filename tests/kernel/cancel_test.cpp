// Cancellation: the cancel spin lock and cancel routine protocol, raced against completion.
#include <atomic>
#include <thread>

#include "io/io_manager.h"
#include "test_stack.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class Cancel : public MachineTest {};

std::atomic<int> g_cancelRoutineRuns{0};

void CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ++g_cancelRoutineRuns;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Queues the request with a cancel routine, unless it is cancelled already.
NTSTATUS PendCancelable(PIRP irp, std::atomic<PIRP>& slot) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  IoSetCancelRoutine(irp, CancelRoutine);
  IoMarkIrpPending(irp);
  slot = irp;
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

TEST_F(Cancel, CancellationRacingCompletionEndsEachRequestExactlyOnce) {
  TestStack stack;
  std::atomic<PIRP> slot{nullptr};
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return PendCancelable(irp, slot); };
  int cancelled = 0, succeeded = 0;
  g_cancelRoutineRuns = 0;
  for (int round = 0; round < 400; ++round) {
    std::atomic<int> finals{0};
    NTSTATUS final = STATUS_PENDING;
    PIRP irp = stack.NewRequest(IRP_MJ_READ, [&](PIRP done) {
      ++finals;
      final = done->IoStatus.Status;
    });
    ASSERT_EQ(stack.Send(irp), STATUS_PENDING);
    hk::io::ReferenceIrp(irp);  // keep it valid for IoCancelIrp, as the I/O manager does
    std::thread completer([&] {
      PIRP held = slot.exchange(nullptr);
      // Whoever clears the cancel routine owns the completion.
      if (held && IoSetCancelRoutine(held, nullptr) != nullptr) {
        held->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(held, IO_NO_INCREMENT);
      }
    });
    std::thread canceller([&] { IoCancelIrp(irp); });
    completer.join();
    canceller.join();
    hk::io::DereferenceIrp(irp);
    ASSERT_EQ(finals, 1) << "round " << round;
    (final == STATUS_CANCELLED ? cancelled : succeeded)++;
  }
  EXPECT_EQ(cancelled, g_cancelRoutineRuns.load());
  EXPECT_EQ(cancelled + succeeded, 400);
}

TEST_F(Cancel, RequestCancelledBeforeItIsQueuedCompletesAtOnce) {
  TestStack stack;
  std::atomic<PIRP> slot{nullptr};
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = TRUE;  // the application cancelled while the request was on its way
    return PendCancelable(irp, slot);
  };
  NTSTATUS final = STATUS_PENDING;
  EXPECT_EQ(stack.Send(stack.NewRequest(IRP_MJ_READ, [&](PIRP done) { final = done->IoStatus.Status; })),
            STATUS_CANCELLED);
  EXPECT_EQ(final, STATUS_CANCELLED);
  EXPECT_EQ(slot.load(), nullptr);
}

TEST_F(Cancel, CancelWithoutRoutineReportsFalseAndLeavesTheRequest) {
  TestStack stack;
  PIRP held = nullptr;
  stack.UpperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  bool done = false;
  PIRP irp = stack.NewRequest(IRP_MJ_READ, [&](PIRP) { done = true; });
  stack.Send(irp);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_FALSE(done);
  held->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace hk::test
