#include "adapter.h"

namespace hk::adapter {

Adapter::Adapter(AdapterOptions options) : options_(std::move(options)) {}

std::vector<UCHAR> Adapter::DeviceDescriptor() const { return {}; }
std::vector<UCHAR> Adapter::ConfigurationDescriptor(UCHAR) const { return {}; }
USBD_STATUS Adapter::Control(const usb::SetupPacket&, UCHAR*, ULONG&) { return USBD_STATUS_STALL_PID; }
void Adapter::Submit(usb::TransferPtr transfer) { transfer->Complete(0, USBD_STATUS_STALL_PID); }

}  // namespace hk::adapter
