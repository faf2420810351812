#include "urb_client.h"

namespace hk::test {

NTSTATUS UrbClient::Submit(PURB urb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo_, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IofCallDriver(pdo_, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

NTSTATUS UrbClient::GetDescriptor(UCHAR type, std::vector<UCHAR>& bytes, ULONG length) {
  URB urb{};
  bytes.assign(length, 0);
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                               bytes.data(), nullptr, length, nullptr);
  NTSTATUS status = Submit(&urb);
  bytes.resize(NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
  return status;
}

NTSTATUS UrbClient::SelectConfiguration(ULONG maximumTransferSize) {
  std::vector<UCHAR> config;
  NTSTATUS status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, config, 255);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
  if (!list[0].InterfaceDescriptor) return STATUS_INVALID_PARAMETER;
  PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
    list[0].Interface->Pipes[i].MaximumTransferSize = maximumTransferSize;
  status = Submit(urb);
  if (NT_SUCCESS(status)) {
    PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      USBD_PIPE_HANDLE& pipe = USB_ENDPOINT_DIRECTION_IN(info->Pipes[i].EndpointAddress) ? in_ : out_;
      if (!pipe) pipe = info->Pipes[i].PipeHandle;
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS UrbClient::Vendor(UCHAR request, bool in, std::vector<UCHAR>& data, USBD_STATUS* urbStatus) {
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT, 0,
                        request, 0, 0, data.empty() ? nullptr : data.data(), nullptr, (ULONG)data.size(), nullptr);
  NTSTATUS status = Submit(&urb);
  if (urbStatus) *urbStatus = urb.UrbHeader.Status;
  if (in) data.resize(NT_SUCCESS(status) ? urb.UrbControlVendorClassRequest.TransferBufferLength : 0);
  return status;
}

NTSTATUS UrbClient::VendorIn(UCHAR request, std::vector<UCHAR>& data, ULONG length, USBD_STATUS* urbStatus) {
  data.assign(length, 0);
  return Vendor(request, true, data, urbStatus);
}

NTSTATUS UrbClient::VendorOut(UCHAR request, std::vector<UCHAR> data, USBD_STATUS* urbStatus) {
  return Vendor(request, false, data, urbStatus);
}

NTSTATUS UrbClient::Bulk(USBD_PIPE_HANDLE pipe, bool in, std::vector<UCHAR>& data) {
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                         data.empty() ? nullptr : data.data(), nullptr, (ULONG)data.size(),
                                         in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
  NTSTATUS status = Submit(&urb);
  if (in) data.resize(NT_SUCCESS(status) ? urb.UrbBulkOrInterruptTransfer.TransferBufferLength : 0);
  return status;
}

NTSTATUS UrbClient::BulkOut(std::vector<UCHAR> data) { return Bulk(out_, false, data); }

NTSTATUS UrbClient::BulkIn(std::vector<UCHAR>& data, ULONG length) {
  data.assign(length, 0);
  return Bulk(in_, true, data);
}

}  // namespace hk::test
