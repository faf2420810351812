#include "fake_device.h"

#include <algorithm>
#include <cstring>

namespace hk::test {

const std::vector<UCHAR> FakeDevice::kReadAnswer = {0x5A, 0xC3};
const std::vector<UCHAR> FakeDevice::kBulkInData = {'p', 'o', 'n', 'g', 0x00, 0xFF};

std::vector<UCHAR> FakeDevice::DeviceDescriptor() const {
  return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0x00, 0x00, 64,
          0x3C, 0x7A, 0x03, 0x00, 0x00, 0x01, 0, 0, 0, 1};
}

std::vector<UCHAR> FakeDevice::ConfigurationDescriptor(UCHAR) const {
  return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
          9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0x00, 0x00, 0,
          7, USB_ENDPOINT_DESCRIPTOR_TYPE, kBulkIn, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
          7, USB_ENDPOINT_DESCRIPTOR_TYPE, kBulkOut, USB_ENDPOINT_TYPE_BULK, 64, 0, 0};
}

USBD_STATUS FakeDevice::Control(const usb::SetupPacket& setup, UCHAR* data, ULONG& length) {
  bool in = (setup.RequestType & 0x80) != 0;
  if (in && setup.Request == kReadRequest) {
    length = (ULONG)std::min<size_t>(setup.Length, kReadAnswer.size());
    std::memcpy(data, kReadAnswer.data(), length);
    return USBD_STATUS_SUCCESS;
  }
  if (!in && setup.Request == kWriteRequest) return USBD_STATUS_SUCCESS;
  return USBD_STATUS_STALL_PID;
}

void FakeDevice::Submit(usb::TransferPtr transfer) {
  if (transfer->In()) {
    ULONG n = (ULONG)std::min<size_t>(transfer->Length(), kBulkInData.size());
    std::memcpy(transfer->Buffer(), kBulkInData.data(), n);
    transfer->Complete(n);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    written_.emplace_back(transfer->Buffer(), transfer->Buffer() + transfer->Length());
  }
  transfer->Complete(transfer->Length());
}

std::vector<std::vector<UCHAR>> FakeDevice::Written() {
  std::lock_guard<std::mutex> guard(lock_);
  return written_;
}

}  // namespace hk::test
