// The host controller of one device. It checks and carries out URBs: descriptor requests and
// configuration itself, vendor requests and bulk transfers through the device's Function.
// Every completion is delivered from the controller's own thread at DISPATCH_LEVEL, as a real
// host controller's DPC does (unless the throughput benchmark chose SetInlineCompletion); a
// pending transfer can be cancelled and then completes with STATUS_CANCELLED from the same
// thread.
#pragma once
#include <hostddk/ddk.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "../kernel/scheduler.h"
#include "function.h"
#include "urb_event.h"

namespace hk::usb {

class HostController {
 public:
  explicit HostController(std::shared_ptr<Function> function);
  ~HostController();

  // From the PDO's dispatch routines.
  NTSTATUS Submit(PIRP irp, PURB urb);
  NTSTATUS ArmWake(PIRP irp);
  // The device signals wake: completes an armed wait/wake request.
  void SignalWake();
  bool WakeArmed();

  // Device gone: every pending transfer fails, later ones are refused.
  void Detach();

  // Called for every URB at submission and at completion (captures, tests).
  using Observer = std::function<void(const UrbEvent&)>;
  void AddObserver(Observer observer);

  // At most one bulk or interrupt completion per 1 ms USB frame, as a full-speed bus allows.
  void SetFramePacing(bool onePerFrame);

  // For the throughput benchmark only (every test keeps the controller's own thread): a bulk
  // transfer the device finishes is completed in the thread that finishes it, at
  // DISPATCH_LEVEL, instead of being handed to the controller's thread. A thread that is above
  // PASSIVE_LEVEL, holds a spin lock or is already completing a transfer this way still hands
  // the completion over, so a completion routine never runs nested inside another or under a
  // caller's lock.
  void SetInlineCompletion(bool inlineCompletion);

  // The pipes of the last successful SELECT_CONFIGURATION, as the driver asked for them.
  std::vector<USBD_PIPE_INFORMATION> SelectedPipes();
  UCHAR ConfigurationValue();

  // Whether the controller still exists, for completions scheduled to run later.
  struct Life;

  struct Completion {
    PIRP Irp;
    USBD_STATUS UrbStatus;
    NTSTATUS Status;
    ULONG Bytes;
  };
  class BulkTransfer;

  // Used by transfers: finishes `transfer`, the pending transfer of `completion.Irp` (ignored
  // when it is no longer pending: cancelled, or its IRP already carries the next transfer).
  // `life`, when given, holds the lock of this controller's life; a completion made in the
  // calling thread releases it first.
  bool Finish(BulkTransfer* transfer, const Completion& completion, LONGLONG due,
              std::unique_lock<std::mutex>* life = nullptr);

 private:
  struct Pipe {
    UCHAR Endpoint;
    TransferType Type;
    ULONG MaximumTransferSize;
  };
  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  static void WakeCancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  PIRP TakeWakeLocked();
  NTSTATUS Immediate(PIRP irp, PURB urb, USBD_STATUS urbStatus, NTSTATUS status, ULONG bytes);
  NTSTATUS GetDescriptor(PIRP irp, PURB urb);
  NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS VendorOrClass(PIRP irp, PURB urb);
  NTSTATUS BulkOrInterrupt(PIRP irp, PURB urb);
  void FinishScheduled(const std::shared_ptr<BulkTransfer>& transfer, const Completion& completion);
  void Enqueue(const Completion& completion);
  void Run();
  void Deliver(const Completion& completion);
  // Completes in this thread when SetInlineCompletion allows it here, else queues.
  void DeliverOrEnqueue(const Completion& completion, std::unique_lock<std::mutex>* life);
  void Notify(const UrbEvent& event);
  UrbEvent EventFor(PIRP irp, PURB urb, bool completion);

  std::shared_ptr<Function> function_;
  std::mutex lock_;
  sched::CondVar work_;
  std::deque<Completion> queue_;
  std::map<PIRP, std::shared_ptr<BulkTransfer>> pending_;
  std::map<USBD_PIPE_HANDLE, Pipe> pipes_;
  std::vector<USBD_PIPE_INFORMATION> selected_;
  UCHAR configuration_ = 0;
  uintptr_t nextHandle_ = 0x5100;
  PIRP wake_ = nullptr;
  std::vector<Observer> observers_;
  std::atomic<bool> observed_{false};  // an observer is registered: only then are events built
  bool framePacing_ = false;
  std::atomic<bool> inline_{false};  // SetInlineCompletion
  std::atomic<int> inlineDeliveries_{0};  // completions running in finishing threads
  LONGLONG nextFrame_ = 0;
  bool detached_ = false;
  bool stopping_ = false;
  std::thread thread_;
  std::shared_ptr<Life> life_;  // this controller's entry in the table of lives, kept for each transfer
};

}  // namespace hk::usb
