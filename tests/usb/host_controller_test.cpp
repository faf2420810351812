// The host controller between a cancel and a completion of one bulk transfer, with one IRP sent
// again and again as a function driver does: no completion of an earlier transfer, whether
// waiting for its frame or late from the device, ever finishes the IRP's next one.
#include <cstring>
#include <deque>
#include <mutex>

#include "fake_device.h"
#include "kernel/clock.h"
#include "urb_client.h"
#include "usb/bus.h"
#include "usb/host_controller.h"
#include "verified_test.h"

namespace hk::test {
namespace {

constexpr LONGLONG kFrame = clock::kUnitsPerMs;

// Holds every bulk IN transfer until the test finishes it.
class HoldingDevice : public FakeDevice {
 public:
  void Submit(usb::TransferPtr transfer) override {
    if (!transfer->In()) return FakeDevice::Submit(std::move(transfer));
    std::lock_guard<std::mutex> guard(lock_);
    held_.push_back(std::move(transfer));
  }
  void Cancelled(const usb::TransferPtr& transfer) override {
    std::lock_guard<std::mutex> guard(lock_);
    ++cancelled_;
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (*it == transfer) {
        held_.erase(it);
        break;
      }
    }
  }
  usb::TransferPtr Take() {
    std::lock_guard<std::mutex> guard(lock_);
    if (held_.empty()) return nullptr;
    usb::TransferPtr t = held_.front();
    held_.pop_front();
    return t;
  }
  int CancelledCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return cancelled_;
  }

 private:
  std::mutex lock_;
  std::deque<usb::TransferPtr> held_;
  int cancelled_ = 0;
};

// One driver-allocated IRP carrying one bulk IN URB, sent again after each completion.
class Reused {
 public:
  Reused(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe) : pdo_(pdo), pipe_(pipe) {
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
  }
  // One still with the bus (a test that failed half-way) is cancelled first, and kept for good
  // if even that does not bring it back.
  ~Reused() {
    if (!Done()) {
      IoCancelIrp(irp_);
      clock::Advance(10 * kFrame);
    }
    if (Done()) IoFreeIrp(irp_);
  }
  void Send() {
    sent_ = true;
    KeClearEvent(&done_);
    std::memset(buffer_, 0, sizeof buffer_);
    std::memset(&urb_, 0, sizeof urb_);
    UsbBuildInterruptOrBulkTransferRequest(&urb_, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe_,
                                           buffer_, nullptr, sizeof buffer_,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    irp_->Cancel = FALSE;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb_;
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    IofCallDriver(pdo_, irp_);
  }
  bool Done() { return !sent_ || KeReadStateEvent(&done_) != 0; }
  NTSTATUS Status() { return irp_->IoStatus.Status; }
  std::string Data() {
    return std::string((const char*)buffer_, urb_.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  PIRP Irp() { return irp_; }

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<Reused*>(context)->done_, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  PDEVICE_OBJECT pdo_;
  USBD_PIPE_HANDLE pipe_;
  PIRP irp_;
  KEVENT done_;
  URB urb_{};
  UCHAR buffer_[16]{};
  bool sent_ = false;
};

class HostControllerCancel : public MachineTest {
 protected:
  // No function driver: the test is the driver, sending URBs to the device's PDO.
  MachineOptions Options() override { return MachineOptions{}; }
  void SetUp() override {
    MachineTest::SetUp();
    device_ = std::make_shared<HoldingDevice>();
    node_ = machine().PlugIn(device_);
    ASSERT_NE(node_, nullptr);
    UrbClient client(node_);
    ASSERT_EQ(client.SelectConfiguration(), STATUS_SUCCESS);
    for (const auto& pipe : Bus().SelectedPipes())
      if (pipe.EndpointAddress == FakeDevice::kBulkIn) in_ = pipe.PipeHandle;
    ASSERT_NE(in_, nullptr);
  }
  usb::HostController& Bus() { return *usb::ControllerOf(node_); }
  // The device finishes the oldest transfer it holds with `data`; false when the bus refused.
  bool DeviceSends(const std::string& data) {
    usb::TransferPtr t = device_->Take();
    if (!t) {
      ADD_FAILURE() << "the device holds no transfer";
      return false;
    }
    std::memcpy(t->Buffer(), data.data(), data.size());
    return t->Complete((ULONG)data.size());
  }

  std::shared_ptr<HoldingDevice> device_;
  pnp::DeviceNode* node_ = nullptr;
  USBD_PIPE_HANDLE in_ = nullptr;
};

// The device has finished a transfer and its report waits for the next frame when the driver
// cancels it and sends the IRP again: the report due at that frame belongs to the cancelled
// transfer, and the IRP waits for its own.
TEST_F(HostControllerCancel, AReportWaitingForItsFrameDoesNotFinishTheIrpSentAgainAfterACancel) {
  Bus().SetFramePacing(true);
  // Mid-frame: a completion now is reported at the next frame.
  clock::Advance((clock::Now() / kFrame + 1) * kFrame + kFrame / 2 - clock::Now());
  Reused request(node_->Pdo, in_);
  request.Send();
  machine().Settle();
  ASSERT_FALSE(request.Done());
  ASSERT_TRUE(DeviceSends("abcd"));
  machine().Settle();
  ASSERT_FALSE(request.Done()) << "reported before its frame";

  IoCancelIrp(request.Irp());
  machine().Settle();
  ASSERT_TRUE(request.Done());
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  EXPECT_EQ(device_->CancelledCount(), 1) << "the device was not told of the cancel, so it cannot take the data back";

  request.Send();
  clock::Advance(2 * kFrame);
  EXPECT_FALSE(request.Done()) << "finished by the cancelled transfer's report, with " << request.Data().size()
                               << " bytes";
  ASSERT_TRUE(DeviceSends("efg"));
  clock::Advance(2 * kFrame);
  ASSERT_TRUE(request.Done());
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Data(), "efg");
}

// The device finishes a transfer the driver has cancelled (it took the transfer just before the
// cancel) after the IRP went down again: the bus refuses it, and the IRP waits for its own.
TEST_F(HostControllerCancel, ALateCompletionOfACancelledTransferDoesNotFinishTheIrpsNextOne) {
  Reused request(node_->Pdo, in_);
  request.Send();
  machine().Settle();
  usb::TransferPtr cancelled = device_->Take();
  ASSERT_NE(cancelled, nullptr);
  IoCancelIrp(request.Irp());
  machine().Settle();
  ASSERT_TRUE(request.Done());
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);

  request.Send();
  machine().Settle();
  std::memcpy(cancelled->Buffer(), "old", 3);
  EXPECT_FALSE(cancelled->Complete(3)) << "the bus took a completion of a cancelled transfer";
  machine().Settle();
  EXPECT_FALSE(request.Done()) << "the next transfer finished with the cancelled one's data";
  ASSERT_TRUE(DeviceSends("new"));
  machine().Settle();
  ASSERT_TRUE(request.Done());
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Data(), "new");
}

}  // namespace
}  // namespace hk::test
