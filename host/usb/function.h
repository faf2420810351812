// What a USB device is to the bus: its descriptors, its answers to control requests on the
// default pipe, and the bulk and interrupt transfers it finishes. The adapter model is one.
// The bus handles everything generic (descriptor requests, configuration, pipe handles, URB
// checks, cancellation, completion from the host controller's thread).
#pragma once
#include <hostddk/ddk.h>

#include <memory>
#include <string>
#include <vector>

namespace hk::usb {

struct SetupPacket {
  UCHAR RequestType;  // bmRequestType: bit 7 device-to-host, bits 6-5 type, bits 4-0 recipient
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
};

// A bulk or interrupt transfer waiting for the device. Thread-safe.
class Transfer {
 public:
  virtual ~Transfer() = default;
  virtual UCHAR Endpoint() const = 0;  // endpoint address; bit 7 set for IN
  bool In() const { return (Endpoint() & 0x80) != 0; }
  virtual ULONG Length() const = 0;    // bytes the driver asked for (IN) or sent (OUT)
  virtual UCHAR* Buffer() = 0;         // the driver's buffer: read it (OUT), fill it (IN)
  // Finishes the transfer with `bytes` moved, now or at clock time `due`. Returns false when the
  // transfer was no longer pending (cancelled, or the device detached).
  virtual bool Complete(ULONG bytes, USBD_STATUS status = USBD_STATUS_SUCCESS, LONGLONG due = -1) = 0;
  virtual bool Pending() const = 0;
};
using TransferPtr = std::shared_ptr<Transfer>;

class Function {
 public:
  virtual ~Function() = default;
  virtual USHORT VendorId() const = 0;
  virtual USHORT ProductId() const = 0;
  virtual std::u16string SerialNumber() const = 0;  // empty: the bus numbers the instance

  // Descriptors as the device sends them (they may be malformed on purpose).
  virtual std::vector<UCHAR> DeviceDescriptor() const = 0;
  virtual std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const = 0;

  // A vendor or class request on the default pipe. For IN requests fill `data` (room for
  // setup.Length bytes) and set `length` to what was sent; for OUT requests `data` holds
  // `length` bytes. Return USBD_STATUS_SUCCESS, or USBD_STATUS_STALL_PID to refuse.
  virtual USBD_STATUS Control(const SetupPacket& setup, UCHAR* data, ULONG& length) = 0;

  // SELECT_CONFIGURATION: the configuration value chosen, 0 when un-configured.
  virtual void Configured(UCHAR configurationValue) { (void)configurationValue; }

  // A bulk or interrupt transfer on one of the configured endpoints. The bus may hand over one
  // the host has cancelled on the way (no longer Pending()): the device ignores it.
  virtual void Submit(TransferPtr transfer) = 0;
  // The driver cancelled a pending transfer; the bus completes it as cancelled.
  virtual void Cancelled(const TransferPtr& transfer) { (void)transfer; }

  virtual void PowerChanged(DEVICE_POWER_STATE state) { (void)state; }
  // Unplugged or removed: pending transfers are failed by the bus.
  virtual void Detached() {}
};

}  // namespace hk::usb
