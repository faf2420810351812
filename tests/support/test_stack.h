// A two-level device stack of test drivers whose dispatch routines the test supplies, for
// exercising the I/O manager without the Orvix driver.
#pragma once
#include <functional>

#include <hostddk/ddk.h>

namespace hk::test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestStack {
 public:
  TestStack();
  ~TestStack();
  TestStack(const TestStack&) = delete;
  TestStack& operator=(const TestStack&) = delete;

  PDEVICE_OBJECT Lower() const { return lower_; }
  PDEVICE_OBJECT Upper() const { return upper_; }
  Dispatch LowerDispatch;
  Dispatch UpperDispatch;

  // A request as the I/O manager makes it, aimed at the top of the stack. `onFinal` runs when
  // its completion reaches the top.
  PIRP NewRequest(UCHAR major, std::function<void(PIRP)> onFinal = nullptr);
  NTSTATUS Send(PIRP irp);

 private:
  DRIVER_OBJECT lowerDriver_{};
  DRIVER_OBJECT upperDriver_{};
  DRIVER_EXTENSION lowerExtension_{};
  DRIVER_EXTENSION upperExtension_{};
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT upper_ = nullptr;
};

}  // namespace hk::test
