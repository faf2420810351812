// Completion in the finishing thread, the host controller's mode for the throughput benchmark:
// a transfer the device finishes at once is completed in the thread that finished it, at
// DISPATCH_LEVEL, but never inside another completion routine or under the caller's spin lock,
// where a real driver's completion routine would deadlock or recurse without bound.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "fake_device.h"
#include "kernel/thread_state.h"
#include "urb_client.h"
#include "usb/bus.h"
#include "usb/host_controller.h"
#include "verified_test.h"

namespace hk::test {
namespace {

const std::string kControllerThread = "USB host controller";

// A chain of bulk-IN transfers: each completion routine records where it ran and submits the
// next transfer itself, as a driver that keeps a pipe busy from its completion routine does.
struct Chain {
  PDEVICE_OBJECT Pdo = nullptr;
  USBD_PIPE_HANDLE Pipe = nullptr;
  int Left = 0;  // submissions still to make from completion routines
  std::atomic<int> MaxDepth{0};  // completion routines nested in one thread
  PKSPIN_LOCK Lock = nullptr;  // taken by every completion routine when set
  std::vector<std::string> Threads;
  std::vector<KIRQL> Irqls;
  std::vector<NTSTATUS> Statuses;
  std::vector<ULONG> Lengths;
  URB Urb{};
  UCHAR Data[64] = {};
  KEVENT Done;
};

NTSTATUS NTAPI ChainCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context);

thread_local int t_depth = 0;

NTSTATUS SubmitNext(Chain& chain) {
  PIRP irp = IoAllocateIrp(chain.Pdo->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(chain.Data, 0, sizeof chain.Data);
  UsbBuildInterruptOrBulkTransferRequest(&chain.Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         chain.Pipe, chain.Data, nullptr, sizeof chain.Data,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &chain.Urb;
  IoSetCompletionRoutine(irp, ChainCompletion, &chain, TRUE, TRUE, TRUE);
  return IoCallDriver(chain.Pdo, irp);
}

NTSTATUS NTAPI ChainCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  Chain& chain = *static_cast<Chain*>(context);
  if (++t_depth > chain.MaxDepth) chain.MaxDepth = t_depth;
  if (chain.Lock) KeAcquireSpinLockAtDpcLevel(chain.Lock);
  chain.Threads.push_back(CurrentThread().Name);
  chain.Irqls.push_back(KeGetCurrentIrql());
  chain.Statuses.push_back(irp->IoStatus.Status);
  chain.Lengths.push_back(chain.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  if (chain.Lock) KeReleaseSpinLockFromDpcLevel(chain.Lock);
  IoFreeIrp(irp);
  if (chain.Left > 0) {
    --chain.Left;
    SubmitNext(chain);
  } else {
    KeSetEvent(&chain.Done, IO_NO_INCREMENT, FALSE);
  }
  --t_depth;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class InlineCompletion : public MachineTest {
 protected:
  // No function driver: the test is the driver, sending URBs to the device's PDO.
  MachineOptions Options() override { return MachineOptions{}; }

  void SetUp() override {
    MachineTest::SetUp();
    node_ = machine().PlugIn(std::make_shared<FakeDevice>());
    ASSERT_NE(node_, nullptr);
    UrbClient client(node_);
    ASSERT_EQ(client.SelectConfiguration(), STATUS_SUCCESS);
    for (const auto& pipe : Controller().SelectedPipes())
      if (pipe.EndpointAddress == FakeDevice::kBulkIn) in_ = pipe.PipeHandle;
    ASSERT_NE(in_, nullptr);
  }

  usb::HostController& Controller() { return *usb::ControllerOf(node_); }

  void Start(Chain& chain, int transfers) {
    chain.Pdo = node_->Pdo;
    chain.Pipe = in_;
    chain.Left = transfers - 1;
    KeInitializeEvent(&chain.Done, NotificationEvent, FALSE);
    ASSERT_EQ(SubmitNext(chain), STATUS_PENDING);
  }

  static void Finish(Chain& chain, int transfers) {
    KeWaitForSingleObject(&chain.Done, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(chain.Threads.size(), (size_t)transfers);
    for (int i = 0; i < transfers; ++i) {
      EXPECT_EQ(chain.Irqls[i], DISPATCH_LEVEL) << "completion " << i << " on " << chain.Threads[i];
      EXPECT_EQ(chain.Statuses[i], STATUS_SUCCESS) << "completion " << i;
      EXPECT_EQ(chain.Lengths[i], FakeDevice::kBulkInData.size()) << "completion " << i;
    }
    EXPECT_EQ(chain.MaxDepth, 1) << "a completion routine ran inside another";
  }

  pnp::DeviceNode* node_ = nullptr;
  USBD_PIPE_HANDLE in_ = nullptr;
};

TEST_F(InlineCompletion, TheSubmittingThreadCompletesAtDispatchLevelAndAResubmissionFromTheRoutineIsHandedOver) {
  const int kTransfers = 6;
  const std::string self = CurrentThread().Name;
  ASSERT_NE(self, kControllerThread);

  // The controller's own thread, as every test but this one has it.
  Chain threaded;
  Start(threaded, kTransfers);
  Finish(threaded, kTransfers);
  for (const auto& thread : threaded.Threads) EXPECT_EQ(thread, kControllerThread);

  // In the finishing thread: the test's own transfer completes here, inside IoCallDriver; the
  // routine's resubmission, made at DISPATCH_LEVEL, goes to the controller's thread, and so do
  // the ones that follow it there.
  Controller().SetInlineCompletion(true);
  Chain inlined;
  Start(inlined, kTransfers);
  Finish(inlined, kTransfers);
  EXPECT_EQ(inlined.Threads[0], self);
  for (int i = 1; i < kTransfers; ++i) EXPECT_EQ(inlined.Threads[i], kControllerThread) << "completion " << i;
}

TEST_F(InlineCompletion, ACallerHoldingASpinLockThatTheRoutineTakesIsNotCompletedUnderIt) {
  Controller().SetInlineCompletion(true);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  Chain chain;
  chain.Lock = &lock;
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  Start(chain, 1);
  KeReleaseSpinLock(&lock, irql);
  Finish(chain, 1);
  EXPECT_EQ(chain.Threads[0], kControllerThread);

  // Raised to DISPATCH_LEVEL without a lock: also handed over, so that a completion never runs
  // nested in a caller at raised IRQL.
  Chain raised;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  Start(raised, 2);
  KeLowerIrql(irql);
  Finish(raised, 2);
  EXPECT_EQ(raised.Threads[0], kControllerThread);
}

}  // namespace
}  // namespace hk::test
