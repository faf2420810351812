#include "host_controller.h"

#include "../io/io_manager.h"
#include "../kernel/activity.h"
#include "../kernel/clock.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"
#include "bus.h"

namespace hk::usb {
namespace {
// The cancel routine finds its controller through the PDO's extension.
HostController* ControllerOf(PIRP irp) {
  return static_cast<HostController*>(irp->Tail.Overlay.DriverContext[0]);
}
}  // namespace

HostController::HostController(std::shared_ptr<Function> function)
    : function_(std::move(function)), thread_([this] { Run(); }) {}

HostController::~HostController() {
  Detach();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    work_.notify_all();
  }
  thread_.join();
}

void HostController::SetObserver(Observer observer) {
  std::lock_guard<std::mutex> guard(lock_);
  observer_ = std::move(observer);
}

NTSTATUS HostController::Submit(PIRP irp, PURB urb) {
  if (!urb) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  Observer observer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    observer = observer_;
    if (detached_) {
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
      irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
      irp->IoStatus.Information = 0;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_DEVICE_NOT_CONNECTED;
    }
    pending_.insert(irp);
  }
  if (observer) observer(irp, urb, false);
  irp->Tail.Overlay.DriverContext[0] = this;
  irp->Tail.Overlay.DriverContext[1] = urb;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  IoMarkIrpPending(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    Enqueue({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED});
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, CancelRoutine);
  IoReleaseCancelSpinLock(irql);
  NTSTATUS status = function_->Submit(*this, irp, urb);
  if (status != STATUS_PENDING)
    Complete(irp, NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_REQUEST_FAILED, status);
  return STATUS_PENDING;
}

void HostController::CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  HostController* self = ControllerOf(irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    if (!self->pending_.count(irp)) return;
  }
  self->Enqueue({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED});
}

void HostController::Complete(PIRP irp, USBD_STATUS urbStatus, NTSTATUS status, LONGLONG due) {
  if (due >= 0 && due > clock::Now()) {
    clock::Schedule(due, [this, irp, urbStatus, status] { Complete(irp, urbStatus, status); });
    return;
  }
  // Whoever clears the cancel routine first finishes the transfer; a cancel in progress wins.
  if (IoSetCancelRoutine(irp, nullptr) == nullptr && irp->Cancel) return;
  Enqueue({irp, urbStatus, status});
}

bool HostController::IsPending(PIRP irp) {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_.count(irp) != 0;
}

void HostController::Enqueue(const Completion& completion) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!pending_.erase(completion.Irp)) return;  // already finished
  activity::Begin();
  queue_.push_back(completion);
  work_.notify_one();
}

void HostController::Deliver(const Completion& c) {
  auto* urb = static_cast<PURB>(c.Irp->Tail.Overlay.DriverContext[1]);
  urb->UrbHeader.Status = c.UrbStatus;
  if (!NT_SUCCESS(c.Status)) {
    switch (urb->UrbHeader.Function) {
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        break;
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
        break;
      case URB_FUNCTION_VENDOR_INTERFACE:
      case URB_FUNCTION_VENDOR_DEVICE:
        urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
        break;
    }
  }
  c.Irp->IoStatus.Status = c.Status;
  c.Irp->IoStatus.Information = 0;
  Observer observer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    observer = observer_;
  }
  if (observer) observer(c.Irp, urb, true);
  c.Irp->Tail.Overlay.DriverContext[0] = nullptr;
  c.Irp->Tail.Overlay.DriverContext[1] = nullptr;
  IofCompleteRequest(c.Irp, IO_NO_INCREMENT);
}

void HostController::Run() {
  ThreadInfo& self = CurrentThread();
  self.Name = "USB host controller";
  for (;;) {
    Completion c;
    {
      std::unique_lock<std::mutex> guard(lock_);
      work_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      c = queue_.front();
      queue_.pop_front();
    }
    self.Irql = DISPATCH_LEVEL;
    Deliver(c);
    if (self.Irql != DISPATCH_LEVEL || !self.HeldLocks.empty())
      verifier::Report("irql", "a completion routine changed IRQL or kept a spin lock");
    self.Irql = PASSIVE_LEVEL;
    self.HeldLocks.clear();
    activity::End();
  }
}

NTSTATUS HostController::ArmWake(PIRP irp) {
  std::lock_guard<std::mutex> guard(lock_);
  if (wake_ || detached_) {
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  }
  irp->Tail.Overlay.DriverContext[0] = this;
  irp->Tail.Overlay.DriverContext[1] = nullptr;
  IoMarkIrpPending(irp);
  wake_ = irp;
  return STATUS_PENDING;
}

void HostController::SignalWake() {
  PIRP irp;
  {
    std::lock_guard<std::mutex> guard(lock_);
    irp = wake_;
    wake_ = nullptr;
  }
  if (!irp) return;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->Tail.Overlay.DriverContext[0] = nullptr;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void HostController::Detach() {
  std::set<PIRP> pending;
  PIRP wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (detached_) return;
    detached_ = true;
    pending = pending_;
    wake = wake_;
    wake_ = nullptr;
  }
  function_->Detached(*this);
  for (PIRP irp : pending) Complete(irp, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  if (wake) {
    wake->IoStatus.Status = STATUS_CANCELLED;
    wake->Tail.Overlay.DriverContext[0] = nullptr;
    IofCompleteRequest(wake, IO_NO_INCREMENT);
  }
}

}  // namespace hk::usb
