#include "ioctl_recorder.h"

#include <cstring>
#include <new>
#include <string>

namespace hk::test {
namespace {

struct FilterExtension {
  PDEVICE_OBJECT Lower;
  std::shared_ptr<IoctlRecorder::Log> Log;
};

DRIVER_OBJECT g_filter{};
DRIVER_EXTENSION g_filterExtension{};
std::u16string g_filterName = u"\\Driver\\IoctlRecorder";

FilterExtension* Ext(PDEVICE_OBJECT device) { return static_cast<FilterExtension*>(device->DeviceExtension); }

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  RecordedIoctl r{sp->Parameters.DeviceIoControl.IoControlCode, {}};
  ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  if ((r.Code & 3) == METHOD_BUFFERED && in && irp->AssociatedIrp.SystemBuffer) {
    const UCHAR* bytes = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    r.Input.assign(bytes, bytes + in);
  }
  {
    std::lock_guard<std::mutex> guard(Ext(device)->Log->Lock);
    Ext(device)->Log->Requests.push_back(std::move(r));
  }
  return PassDown(device, irp);
}

NTSTATUS ReadWrite(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  LONGLONG offset = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.ByteOffset.QuadPart
                                                     : sp->Parameters.Write.ByteOffset.QuadPart;
  {
    std::lock_guard<std::mutex> guard(Ext(device)->Log->Lock);
    Ext(device)->Log->Offsets.push_back(offset);
  }
  return PassDown(device, irp);
}

NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return PassDown(device, irp);
  // The device below deletes itself while it handles the removal: leave it first.
  PDEVICE_OBJECT lower = Ext(device)->Lower;
  IoDetachDevice(lower);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  Ext(device)->~FilterExtension();
  IoDeleteDevice(device);
  return status;
}

PDRIVER_OBJECT FilterDriver() {
  if (g_filter.Type == 0) {
    g_filter.Type = 4;
    g_filter.Size = sizeof g_filter;
    g_filter.DriverExtension = &g_filterExtension;
    g_filterExtension.DriverObject = &g_filter;
    g_filter.DriverName.Buffer = (PWSTR)g_filterName.data();
    g_filter.DriverName.Length = (USHORT)(g_filterName.size() * 2);
    g_filter.DriverName.MaximumLength = g_filter.DriverName.Length;
    for (auto& f : g_filter.MajorFunction) f = PassDown;
    g_filter.MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    g_filter.MajorFunction[IRP_MJ_READ] = ReadWrite;
    g_filter.MajorFunction[IRP_MJ_WRITE] = ReadWrite;
    g_filter.MajorFunction[IRP_MJ_POWER] = Power;
    g_filter.MajorFunction[IRP_MJ_PNP] = Pnp;
  }
  return &g_filter;
}

}  // namespace

IoctlRecorder::IoctlRecorder(PDEVICE_OBJECT device) : log_(std::make_shared<Log>()) {
  PDEVICE_OBJECT filter = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(FilterDriver(), sizeof(FilterExtension), nullptr, device->DeviceType,
                                 device->Characteristics, FALSE, &filter)))
    return;
  auto* ext = new (filter->DeviceExtension) FilterExtension{nullptr, log_};
  ext->Lower = IoAttachDeviceToDeviceStack(filter, device);
  filter->Flags |= device->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
}

std::vector<RecordedIoctl> IoctlRecorder::Take() {
  std::lock_guard<std::mutex> guard(log_->Lock);
  std::vector<RecordedIoctl> out;
  out.swap(log_->Requests);
  return out;
}

std::vector<ULONG> IoctlRecorder::TakeCodes() {
  std::vector<ULONG> codes;
  for (const auto& r : Take()) codes.push_back(r.Code);
  return codes;
}

}  // namespace hk::test

namespace hk::test {

std::vector<LONGLONG> IoctlRecorder::TakeOffsets() {
  std::lock_guard<std::mutex> guard(log_->Lock);
  std::vector<LONGLONG> out;
  out.swap(log_->Offsets);
  return out;
}

}  // namespace hk::test
