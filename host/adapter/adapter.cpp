#include "adapter.h"

namespace hk::adapter {

Adapter::Adapter(AdapterOptions options) : options_(std::move(options)) {}

NTSTATUS Adapter::Submit(usb::HostController&, PIRP, PURB) { return STATUS_NOT_SUPPORTED; }

}  // namespace hk::adapter
