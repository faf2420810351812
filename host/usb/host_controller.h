// The host controller of one device: URBs wait here until the device answers them, and every
// completion is delivered from the controller's own thread at DISPATCH_LEVEL, as a real host
// controller's DPC does. A pending transfer can be cancelled; it then completes with
// STATUS_CANCELLED from the same thread.
#pragma once
#include <hostddk/ddk.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace hk::usb {

class Function;

class HostController {
 public:
  explicit HostController(std::shared_ptr<Function> function);
  ~HostController();

  // From the PDO's dispatch routine.
  NTSTATUS Submit(PIRP irp, PURB urb);
  NTSTATUS ArmWake(PIRP irp);

  // From the device: finishes a pending transfer now, or at `due` (clock units) when given.
  // Ignored when the transfer is no longer pending (it was cancelled meanwhile).
  void Complete(PIRP irp, USBD_STATUS urbStatus, NTSTATUS status, LONGLONG due = -1);
  bool IsPending(PIRP irp);
  // The device signals wake: completes an armed wait/wake request.
  void SignalWake();

  // Device gone: every pending transfer fails, later ones are refused.
  void Detach();
  bool Detached() const { return detached_; }

  // Observers for captures and tests: called for every URB at submission and completion.
  using Observer = std::function<void(PIRP irp, PURB urb, bool completion)>;
  void SetObserver(Observer observer);

 private:
  struct Completion {
    PIRP Irp;
    USBD_STATUS UrbStatus;
    NTSTATUS Status;
  };
  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void Enqueue(const Completion& completion);
  void Run();
  void Deliver(const Completion& completion);

  std::shared_ptr<Function> function_;
  std::mutex lock_;
  std::condition_variable work_;
  std::deque<Completion> queue_;
  std::set<PIRP> pending_;
  PIRP wake_ = nullptr;
  Observer observer_;
  bool detached_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace hk::usb
