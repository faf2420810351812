// Sends URBs to a USB device's PDO as a function driver does, one at a time, each waited for:
// the completion arrives from the host controller's thread.
#pragma once
#include <hostddk/ddk.h>

#include <vector>

#include "pnp/pnp_manager.h"

namespace hk::test {

class UrbClient {
 public:
  explicit UrbClient(pnp::DeviceNode* node) : pdo_(node->Pdo) {}

  // Submits `urb` and waits for it; returns the request's final status.
  NTSTATUS Submit(PURB urb);

  NTSTATUS GetDescriptor(UCHAR type, std::vector<UCHAR>& bytes, ULONG length);
  // Reads the configuration descriptor and selects its first interface, keeping the pipes.
  NTSTATUS SelectConfiguration(ULONG maximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  // URB_FUNCTION_VENDOR_INTERFACE. IN: `data` gets what the device sent (room for `length`).
  NTSTATUS VendorIn(UCHAR request, std::vector<UCHAR>& data, ULONG length, USBD_STATUS* urbStatus = nullptr);
  NTSTATUS VendorOut(UCHAR request, std::vector<UCHAR> data, USBD_STATUS* urbStatus = nullptr);
  // On the first IN and the first OUT pipe selected.
  NTSTATUS BulkOut(std::vector<UCHAR> data);
  NTSTATUS BulkIn(std::vector<UCHAR>& data, ULONG length);

 private:
  NTSTATUS Vendor(UCHAR request, bool in, std::vector<UCHAR>& data, USBD_STATUS* urbStatus);
  NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, bool in, std::vector<UCHAR>& data);

  PDEVICE_OBJECT pdo_;
  USBD_PIPE_HANDLE in_ = nullptr;
  USBD_PIPE_HANDLE out_ = nullptr;
};

}  // namespace hk::test
