#include "host_controller.h"

#include <cstring>

#include "../kernel/activity.h"
#include "../kernel/clock.h"
#include "../kernel/faults.h"
#include "../kernel/scheduler.h"
#include "../kernel/thread_state.h"
#include "../kernel/verifier.h"

namespace hk::usb {
namespace {

constexpr LONGLONG kFrame = clock::kUnitsPerMs;
std::atomic<uint64_t> g_irpIds{1};

HostController* ControllerOf(PIRP irp) { return static_cast<HostController*>(irp->Tail.Overlay.DriverContext[0]); }
PURB UrbOf(PIRP irp) { return static_cast<PURB>(irp->Tail.Overlay.DriverContext[1]); }
uint64_t IdOf(PIRP irp) { return (uint64_t)(uintptr_t)irp->Tail.Overlay.DriverContext[2]; }

}  // namespace

// Scheduled completions outlive nothing: they find out whether the controller still exists.
struct HostController::Life {
  std::mutex Lock;
  HostController* Controller;
};

class HostController::BulkTransfer : public Transfer {
 public:
  BulkTransfer(HostController* hc, std::shared_ptr<Life> life, PIRP irp, UCHAR endpoint, UCHAR* buffer,
               ULONG length)
      : hc_(hc), life_(std::move(life)), irp_(irp), endpoint_(endpoint), buffer_(buffer), length_(length) {}
  UCHAR Endpoint() const override { return endpoint_; }
  ULONG Length() const override { return length_; }
  UCHAR* Buffer() override { return buffer_; }
  bool Complete(ULONG bytes, USBD_STATUS status, LONGLONG due) override {
    if (bytes > length_) bytes = length_;
    std::unique_lock<std::mutex> guard(life_->Lock);
    if (!life_->Controller) return false;
    return hc_->Finish(this, {irp_, status, USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, bytes}, due,
                       &guard);
  }
  bool Pending() const override { return !done_; }
  void MarkDone() { done_ = true; }
  PIRP Irp() const { return irp_; }

 private:
  HostController* hc_;
  std::shared_ptr<Life> life_;
  PIRP irp_;
  UCHAR endpoint_;
  UCHAR* buffer_;
  ULONG length_;
  std::atomic<bool> done_{false};
};

namespace {
using Life = HostController::Life;
std::map<HostController*, std::shared_ptr<Life>> g_lives;
std::mutex g_livesLock;
std::shared_ptr<Life> LifeOf(HostController* hc) {
  std::lock_guard<std::mutex> guard(g_livesLock);
  auto& life = g_lives[hc];
  if (!life) {
    life = std::make_shared<Life>();
    life->Controller = hc;
  }
  return life;
}
}  // namespace

HostController::HostController(std::shared_ptr<Function> function)
    : function_(std::move(function)), thread_(sched::Spawn([this] { Run(); })) {
  life_ = LifeOf(this);
}

HostController::~HostController() {
  Detach();
  std::shared_ptr<Life> life;
  {
    std::lock_guard<std::mutex> guard(g_livesLock);
    life = g_lives[this];
    g_lives.erase(this);
  }
  {
    std::lock_guard<std::mutex> guard(life->Lock);
    life->Controller = nullptr;
  }
  // No completion starts in a finishing thread now; one that started finishes first.
  while (inlineDeliveries_.load() != 0) std::this_thread::yield();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    work_.notify_all();
  }
  sched::Join(thread_);
}

void HostController::AddObserver(Observer observer) {
  std::lock_guard<std::mutex> guard(lock_);
  observers_.push_back(std::move(observer));
  observed_ = true;
}

void HostController::SetFramePacing(bool onePerFrame) {
  std::lock_guard<std::mutex> guard(lock_);
  framePacing_ = onePerFrame;
}

void HostController::SetInlineCompletion(bool inlineCompletion) { inline_ = inlineCompletion; }

std::vector<USBD_PIPE_INFORMATION> HostController::SelectedPipes() {
  std::lock_guard<std::mutex> guard(lock_);
  return selected_;
}

UCHAR HostController::ConfigurationValue() {
  std::lock_guard<std::mutex> guard(lock_);
  return configuration_;
}

void HostController::Notify(const UrbEvent& event) {
  std::vector<Observer> observers;
  {
    std::lock_guard<std::mutex> guard(lock_);
    observers = observers_;
  }
  for (auto& o : observers) o(event);
}

UrbEvent HostController::EventFor(PIRP irp, PURB urb, bool completion) {
  UrbEvent e;
  e.IrpId = IdOf(irp);
  e.Completion = completion;
  e.Function = urb->UrbHeader.Function;
  e.Status = completion ? urb->UrbHeader.Status : 0;
  e.Time = clock::Now();
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& b = urb->UrbBulkOrInterruptTransfer;
      std::lock_guard<std::mutex> guard(lock_);
      auto pipe = pipes_.find(b.PipeHandle);
      if (pipe != pipes_.end()) {
        e.Endpoint = pipe->second.Endpoint;
        e.Type = pipe->second.Type;
      } else {
        e.Type = TransferType::Bulk;
      }
      bool in = (e.Endpoint & 0x80) != 0;
      if (b.TransferBuffer && in == completion)
        e.Data.assign((UCHAR*)b.TransferBuffer, (UCHAR*)b.TransferBuffer + b.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      e.HasSetup = true;
      UCHAR setup[8] = {0x80, 6, d.Index, d.DescriptorType, (UCHAR)d.LanguageId, (UCHAR)(d.LanguageId >> 8),
                        (UCHAR)d.TransferBufferLength, (UCHAR)(d.TransferBufferLength >> 8)};
      std::memcpy(e.Setup, setup, 8);
      if (completion && d.TransferBuffer)
        e.Data.assign((UCHAR*)d.TransferBuffer, (UCHAR*)d.TransferBuffer + d.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE: {
      auto& v = urb->UrbControlVendorClassRequest;
      bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      UCHAR type = (urb->UrbHeader.Function >= URB_FUNCTION_CLASS_DEVICE) ? 0x20 : 0x40;
      UCHAR recipient = (UCHAR)((urb->UrbHeader.Function - URB_FUNCTION_VENDOR_DEVICE) % 3);
      e.HasSetup = true;
      UCHAR setup[8] = {(UCHAR)((in ? 0x80 : 0) | type | recipient), v.Request, (UCHAR)v.Value,
                        (UCHAR)(v.Value >> 8), (UCHAR)v.Index, (UCHAR)(v.Index >> 8),
                        (UCHAR)v.TransferBufferLength, (UCHAR)(v.TransferBufferLength >> 8)};
      std::memcpy(e.Setup, setup, 8);
      if (v.TransferBuffer && in == completion)
        e.Data.assign((UCHAR*)v.TransferBuffer, (UCHAR*)v.TransferBuffer + v.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      e.HasSetup = true;
      auto* config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      UCHAR setup[8] = {0x00, 9, (UCHAR)(config ? config->bConfigurationValue : 0), 0, 0, 0, 0, 0};
      std::memcpy(e.Setup, setup, 8);
      break;
    }
    default:
      break;
  }
  return e;
}

NTSTATUS HostController::Submit(PIRP irp, PURB urb) {
  if (!urb) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  irp->Tail.Overlay.DriverContext[0] = this;
  irp->Tail.Overlay.DriverContext[1] = urb;
  irp->Tail.Overlay.DriverContext[2] = (PVOID)(uintptr_t)g_irpIds++;
  bool detached;
  {
    std::lock_guard<std::mutex> guard(lock_);
    detached = detached_;
  }
  if (observed_) Notify(EventFor(irp, urb, false));
  IoMarkIrpPending(irp);
  if (detached) return Immediate(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, 0);
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  if (faults::UrbShouldFail(urb->UrbHeader.Function))
    return Immediate(irp, urb, USBD_STATUS_REQUEST_FAILED, STATUS_UNSUCCESSFUL, 0);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE: return VendorOrClass(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return BulkOrInterrupt(irp, urb);
    default:
      return Immediate(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER, 0);
  }
}

NTSTATUS HostController::Immediate(PIRP irp, PURB, USBD_STATUS urbStatus, NTSTATUS status, ULONG bytes) {
  Enqueue({irp, urbStatus, status, bytes});
  return STATUS_PENDING;
}

NTSTATUS HostController::GetDescriptor(PIRP irp, PURB urb) {
  auto& d = urb->UrbControlDescriptorRequest;
  std::vector<UCHAR> bytes;
  if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) bytes = function_->DeviceDescriptor();
  else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) bytes = function_->ConfigurationDescriptor(d.Index);
  else return Immediate(irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0);
  if (!d.TransferBuffer) return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
  ULONG n = (ULONG)bytes.size() < d.TransferBufferLength ? (ULONG)bytes.size() : d.TransferBufferLength;
  if (n) std::memcpy(d.TransferBuffer, bytes.data(), n);  // an empty answer has no data pointer
  return Immediate(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, n);
}

NTSTATUS HostController::SelectConfiguration(PIRP irp, PURB urb) {
  auto& s = urb->UrbSelectConfiguration;
  if (!s.ConfigurationDescriptor) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      pipes_.clear();
      configuration_ = 0;
    }
    function_->Configured(0);
    return Immediate(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0);
  }
  // The device's own descriptor decides the endpoints; the driver's copy names the interfaces.
  std::vector<UCHAR> config = function_->ConfigurationDescriptor(0);
  auto findInterface = [&](UCHAR number, UCHAR alternate) -> size_t {
    for (size_t p = 0; p + 2 <= config.size() && config[p] >= 2;) {
      if (config[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && p + 9 <= config.size() && config[p + 2] == number &&
          config[p + 3] == alternate)
        return p;
      p += config[p];
    }
    return SIZE_MAX;
  };
  UCHAR* cursor = reinterpret_cast<UCHAR*>(&s.Interface);
  UCHAR* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
  std::map<USBD_PIPE_HANDLE, Pipe> pipes;
  std::vector<USBD_PIPE_INFORMATION> selected;
  while (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || cursor + info->Length > end)
      return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
    size_t at = findInterface(info->InterfaceNumber, info->AlternateSetting);
    if (at == SIZE_MAX) return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
    UCHAR endpoints = config[at + 4];
    if (info->NumberOfPipes != endpoints ||
        info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) + endpoints * sizeof(USBD_PIPE_INFORMATION))
      return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
    info->Class = config[at + 5];
    info->SubClass = config[at + 6];
    info->Protocol = config[at + 7];
    info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(nextHandle_ += 0x10);
    size_t p = at + config[at];
    for (ULONG i = 0; i < endpoints; ++i) {
      while (p + 2 <= config.size() && config[p] >= 2 && config[p + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE) p += config[p];
      // A malformed descriptor ends the walk: nothing that is not an endpoint is taken as one.
      if (p + 7 > config.size() || config[p] < 7 || config[p + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE)
        return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
      USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
      if (pipe.MaximumTransferSize > 0x10000)
        return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
      pipe.EndpointAddress = config[p + 2];
      pipe.PipeType = (USBD_PIPE_TYPE)(config[p + 3] & 3);
      pipe.MaximumPacketSize = (USHORT)(config[p + 4] | (config[p + 5] << 8));
      pipe.Interval = config[p + 6];
      pipe.PipeHandle = (USBD_PIPE_HANDLE)(nextHandle_ += 0x10);
      pipes[pipe.PipeHandle] = {pipe.EndpointAddress,
                                pipe.PipeType == UsbdPipeTypeInterrupt ? TransferType::Interrupt : TransferType::Bulk,
                                pipe.MaximumTransferSize};
      selected.push_back(pipe);
      p += config[p];
    }
    cursor += info->Length;
  }
  s.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(nextHandle_ += 0x10);
  UCHAR value = s.ConfigurationDescriptor->bConfigurationValue;
  {
    std::lock_guard<std::mutex> guard(lock_);
    pipes_ = std::move(pipes);
    selected_ = std::move(selected);
    configuration_ = value;
  }
  function_->Configured(value);
  return Immediate(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0);
}

NTSTATUS HostController::VendorOrClass(PIRP irp, PURB urb) {
  auto& v = urb->UrbControlVendorClassRequest;
  bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  UCHAR type = (urb->UrbHeader.Function >= URB_FUNCTION_CLASS_DEVICE) ? 0x20 : 0x40;
  UCHAR recipient = (UCHAR)((urb->UrbHeader.Function - URB_FUNCTION_VENDOR_DEVICE) % 3);
  SetupPacket setup{(UCHAR)((in ? 0x80 : 0) | type | recipient), v.Request, v.Value, v.Index,
                    (USHORT)v.TransferBufferLength};
  if (v.TransferBufferLength && !v.TransferBuffer)
    return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
  std::vector<UCHAR> data(v.TransferBufferLength);
  if (!in && v.TransferBufferLength) std::memcpy(data.data(), v.TransferBuffer, v.TransferBufferLength);
  ULONG length = in ? 0 : v.TransferBufferLength;
  USBD_STATUS status = function_->Control(setup, data.data(), length);
  if (!USBD_SUCCESS(status)) return Immediate(irp, urb, status, STATUS_UNSUCCESSFUL, 0);
  if (length > v.TransferBufferLength) length = v.TransferBufferLength;
  if (in) {
    if (length < v.TransferBufferLength && !(v.TransferFlags & USBD_SHORT_TRANSFER_OK))
      return Immediate(irp, urb, (USBD_STATUS)0xC0000011L /* data underrun */, STATUS_UNSUCCESSFUL, 0);
    std::memcpy(v.TransferBuffer, data.data(), length);
  }
  return Immediate(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, length);
}

NTSTATUS HostController::BulkOrInterrupt(PIRP irp, PURB urb) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  Pipe pipe;
  bool known;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = pipes_.find(b.PipeHandle);
    known = it != pipes_.end();
    if (known) pipe = it->second;
  }
  // Completed outside the lock: Immediate queues the completion under the same lock.
  if (!known) return Immediate(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER, 0);
  if (b.TransferBufferLength > pipe.MaximumTransferSize || (b.TransferBufferLength && !b.TransferBuffer))
    return Immediate(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, 0);
  auto transfer = std::make_shared<BulkTransfer>(this, life_, irp, pipe.Endpoint, (UCHAR*)b.TransferBuffer,
                                                 b.TransferBufferLength);
  {
    std::lock_guard<std::mutex> guard(lock_);
    pending_[irp] = transfer;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    {
      std::lock_guard<std::mutex> guard(lock_);
      pending_.erase(irp);
    }
    transfer->MarkDone();
    return Immediate(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0);
  }
  IoSetCancelRoutine(irp, CancelRoutine);
  IoReleaseCancelSpinLock(irql);
  function_->Submit(transfer);
  return STATUS_PENDING;
}

void HostController::CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  HostController* self = ControllerOf(irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::shared_ptr<BulkTransfer> transfer;
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    auto it = self->pending_.find(irp);
    if (it == self->pending_.end()) return;
    transfer = it->second;
    self->pending_.erase(it);
  }
  transfer->MarkDone();
  // A transfer the device finished, its report waiting for the frame, is taken back by the
  // device here as well.
  self->function_->Cancelled(transfer);
  self->Enqueue({irp, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0});
}

bool HostController::Finish(BulkTransfer* transfer, const Completion& completion, LONGLONG due,
                            std::unique_lock<std::mutex>* life) {
  LONGLONG now = clock::Now();
  PIRP irp = completion.Irp;
  std::shared_ptr<BulkTransfer> held;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // By identity: the IRP may have been cancelled and sent again, and a late completion of the
    // earlier transfer must not finish the next one.
    auto it = pending_.find(irp);
    if (it == pending_.end() || it->second.get() != transfer) return false;
    if (framePacing_ && due == -1) {
      LONGLONG frame = (now + kFrame - 1) / kFrame * kFrame;
      due = frame > nextFrame_ ? frame : nextFrame_;
      nextFrame_ = due + kFrame;
    }
    if (due > now) held = it->second;
  }
  if (held) {
    std::shared_ptr<Life> life = life_;
    clock::Schedule(due, [life, held, completion] {
      std::lock_guard<std::mutex> guard(life->Lock);
      if (life->Controller) life->Controller->FinishScheduled(held, completion);
    });
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = pending_.find(irp);
    if (it == pending_.end() || it->second.get() != transfer) return false;
    // Whoever clears the cancel routine first finishes the transfer; a cancel in progress wins.
    sched::NoPoints atomic;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    pending_.erase(it);
  }
  transfer->MarkDone();
  DeliverOrEnqueue(completion, life);
  return true;
}

// The frame of a transfer the device finished has come: it is reported, unless a cancel or a
// detach has ended it meanwhile (its IRP may carry the next transfer by now).
void HostController::FinishScheduled(const std::shared_ptr<BulkTransfer>& transfer, const Completion& completion) {
  PIRP irp = transfer->Irp();
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = pending_.find(irp);
    if (it == pending_.end() || it->second != transfer) return;
    // Whoever clears the cancel routine first finishes the transfer; a cancel in progress wins.
    sched::NoPoints atomic;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    pending_.erase(it);
  }
  transfer->MarkDone();
  Enqueue(completion);
}

namespace {
thread_local bool t_completingInline = false;
}  // namespace

void HostController::DeliverOrEnqueue(const Completion& completion, std::unique_lock<std::mutex>* life) {
  if (!life || !inline_ || t_completingInline) {
    Enqueue(completion);
    return;
  }
  ThreadInfo& self = CurrentThread();
  if (self.Irql != PASSIVE_LEVEL || !self.HeldLocks.empty() || self.InDpc) {
    Enqueue(completion);
    return;
  }
  // Counted while the controller is known to exist, then delivered without the lock of its
  // life: the completion routine may submit a transfer the device finishes at once, and that
  // takes the lock again. The destructor waits for the count.
  inlineDeliveries_.fetch_add(1);
  life->unlock();
  // As the controller's thread delivers it: at DISPATCH_LEVEL, and the routine must leave it so.
  activity::Begin();
  t_completingInline = true;
  self.Irql = DISPATCH_LEVEL;
  Deliver(completion);
  if (self.Irql != DISPATCH_LEVEL || !self.HeldLocks.empty())
    verifier::Report("irql", "a completion routine changed IRQL or kept a spin lock");
  self.Irql = PASSIVE_LEVEL;
  self.HeldLocks.clear();
  t_completingInline = false;
  activity::End();
  inlineDeliveries_.fetch_sub(1);
}

void HostController::Enqueue(const Completion& completion) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    activity::Begin();
    queue_.push_back(completion);
  }
  // After unlocking, or the woken thread would block on the lock at once.
  work_.notify_one();
}

void HostController::Deliver(const Completion& c) {
  PURB urb = UrbOf(c.Irp);
  urb->UrbHeader.Status = c.UrbStatus;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = c.Bytes;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      urb->UrbControlDescriptorRequest.TransferBufferLength = c.Bytes;
      break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
      urb->UrbControlVendorClassRequest.TransferBufferLength = c.Bytes;
      break;
  }
  c.Irp->IoStatus.Status = c.Status;
  c.Irp->IoStatus.Information = 0;
  if (observed_) Notify(EventFor(c.Irp, urb, true));
  IofCompleteRequest(c.Irp, IO_NO_INCREMENT);
}

void HostController::Run() {
  ThreadInfo& self = CurrentThread();
  self.Name = "USB host controller";
  for (;;) {
    Completion c;
    {
      std::unique_lock<std::mutex> guard(lock_);
      work_.wait(guard, [this] { return stopping_ || !queue_.empty(); }, "a completion to deliver");
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
  // Marked pending before anyone else can see it: a wake may complete it at once.
  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = this;
  bool busy;
  bool cancelled = false;
  {
    // Published with its cancel routine under the cancel spin lock, so that a cancellation
    // finds it either not yet armed (and it is refused here) or armed and cancellable.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    {
      std::lock_guard<std::mutex> guard(lock_);
      busy = wake_ || detached_;
      cancelled = !busy && irp->Cancel;
      if (!busy && !cancelled) {
        sched::NoPoints atomic;
        IoSetCancelRoutine(irp, WakeCancelRoutine);
        wake_ = irp;
      }
    }
    IoReleaseCancelSpinLock(irql);
  }
  if (busy || cancelled) {
    irp->IoStatus.Status = busy ? STATUS_DEVICE_BUSY : STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

void HostController::WakeCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  HostController* self = ControllerOf(irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    if (self->wake_ == irp) self->wake_ = nullptr;
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

bool HostController::WakeArmed() {
  std::lock_guard<std::mutex> guard(lock_);
  return wake_ != nullptr;
}

// Takes the armed wait/wake request for completion; null when there is none or a cancel in
// progress owns it.
PIRP HostController::TakeWakeLocked() {
  PIRP irp = wake_;
  wake_ = nullptr;
  sched::NoPoints atomic;
  if (irp && IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;
  return irp;
}

void HostController::SignalWake() {
  PIRP irp;
  {
    std::lock_guard<std::mutex> guard(lock_);
    irp = TakeWakeLocked();
  }
  if (!irp) return;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void HostController::Detach() {
  std::vector<std::pair<PIRP, std::shared_ptr<BulkTransfer>>> pending;
  PIRP wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (detached_) return;
    detached_ = true;
    sched::NoPoints atomic;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (IoSetCancelRoutine(it->first, nullptr) == nullptr) {
        ++it;  // a cancel in progress finishes this one
        continue;
      }
      pending.push_back(*it);
      it = pending_.erase(it);
    }
    wake = TakeWakeLocked();
  }
  function_->Detached();
  for (auto& [irp, transfer] : pending) {
    transfer->MarkDone();
    Enqueue({irp, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, 0});
  }
  if (wake) {
    wake->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(wake, IO_NO_INCREMENT);
  }
}

}  // namespace hk::usb
