// The model of the USB-to-RS-232 adapter: what the driver relies on the device to do.
#pragma once
#include <memory>

#include "../usb/function.h"

namespace hk::adapter {

struct AdapterOptions {
  std::u16string Serial;  // instance serial; empty lets the bus number the port
};

class Adapter : public usb::Function {
 public:
  explicit Adapter(AdapterOptions options = {});
  USHORT VendorId() const override { return 0x7A3C; }
  USHORT ProductId() const override { return 0x0003; }
  std::u16string SerialNumber() const override { return options_.Serial; }
  std::vector<UCHAR> DeviceDescriptor() const override;
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override;
  USBD_STATUS Control(const usb::SetupPacket& setup, UCHAR* data, ULONG& length) override;
  void Submit(usb::TransferPtr transfer) override;

 private:
  AdapterOptions options_;
};

}  // namespace hk::adapter
