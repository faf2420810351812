#include "test_stack.h"

#include "io/io_manager.h"

namespace hk::test {
namespace {

struct Slot {
  Dispatch* Routine;
};

NTSTATUS Trampoline(PDEVICE_OBJECT device, PIRP irp) {
  auto* slot = static_cast<Slot*>(device->DeviceExtension);
  return (*slot->Routine)(device, irp);
}

void Prepare(DRIVER_OBJECT& driver, DRIVER_EXTENSION& extension) {
  driver.Type = 4;
  driver.Size = sizeof driver;
  driver.DriverExtension = &extension;
  extension.DriverObject = &driver;
  for (auto& f : driver.MajorFunction) f = Trampoline;
}

}  // namespace

TestStack::TestStack() {
  Prepare(lowerDriver_, lowerExtension_);
  Prepare(upperDriver_, upperExtension_);
  IoCreateDevice(&lowerDriver_, sizeof(Slot), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_);
  IoCreateDevice(&upperDriver_, sizeof(Slot), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper_);
  static_cast<Slot*>(lower_->DeviceExtension)->Routine = &LowerDispatch;
  static_cast<Slot*>(upper_->DeviceExtension)->Routine = &UpperDispatch;
  IoAttachDeviceToDeviceStack(upper_, lower_);
  lower_->Flags &= ~DO_DEVICE_INITIALIZING;
  upper_->Flags &= ~DO_DEVICE_INITIALIZING;
}

TestStack::~TestStack() {
  IoDetachDevice(lower_);
  IoDeleteDevice(upper_);
  IoDeleteDevice(lower_);
}

PIRP TestStack::NewRequest(UCHAR major, std::function<void(PIRP)> onFinal) {
  PIRP irp = io::AllocateSystemIrp(upper_->StackSize, std::move(onFinal));
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  return irp;
}

NTSTATUS TestStack::Send(PIRP irp) { return IofCallDriver(upper_, irp); }

}  // namespace hk::test
