// One URB as the bus sees it at submission or at completion, for captures and tests.
#pragma once
#include <hostddk/ddk.h>

#include <cstdint>
#include <vector>

namespace hk::usb {

enum class TransferType : UCHAR { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

struct UrbEvent {
  uint64_t IrpId = 0;         // stays the same for a submission and its completion
  bool Completion = false;    // false: driver to device (submission); true: back to the driver
  USHORT Function = 0;        // URB_FUNCTION_*
  USBD_STATUS Status = 0;     // at completion
  USHORT DeviceAddress = 1;
  UCHAR Endpoint = 0;         // endpoint address, bit 7 for IN; 0 for the default pipe
  TransferType Type = TransferType::Control;
  bool HasSetup = false;
  UCHAR Setup[8] = {};        // the setup packet of a control transfer
  std::vector<UCHAR> Data;    // OUT data at submission, IN data at completion
  LONGLONG Time = 0;          // clock time
};

}  // namespace hk::usb
