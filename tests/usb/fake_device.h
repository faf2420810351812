// A small USB device for bus tests: one interface with bulk IN 0x81 and bulk OUT 0x02, vendor
// request 1 (IN) answered with two bytes, vendor request 2 (OUT) accepted, anything else
// stalled. Bulk IN transfers complete at once with kBulkInData; bulk OUT data is kept.
#pragma once
#include <mutex>
#include <vector>

#include "usb/function.h"

namespace hk::test {

class FakeDevice : public usb::Function {
 public:
  static constexpr UCHAR kBulkIn = 0x81;
  static constexpr UCHAR kBulkOut = 0x02;
  static constexpr UCHAR kReadRequest = 1;
  static constexpr UCHAR kWriteRequest = 2;
  static const std::vector<UCHAR> kReadAnswer;
  static const std::vector<UCHAR> kBulkInData;

  USHORT VendorId() const override { return 0x7A3C; }
  USHORT ProductId() const override { return 0x0003; }
  std::u16string SerialNumber() const override { return u""; }
  std::vector<UCHAR> DeviceDescriptor() const override;
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override;
  USBD_STATUS Control(const usb::SetupPacket& setup, UCHAR* data, ULONG& length) override;
  void Submit(usb::TransferPtr transfer) override;

  std::vector<std::vector<UCHAR>> Written();  // bulk OUT transfers, in order

 private:
  std::mutex lock_;
  std::vector<std::vector<UCHAR>> written_;
};

}  // namespace hk::test
