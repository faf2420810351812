// What the adapter model keeps for tests to look at: the control requests it received, and the
// protocol faults of the host side (plus a few notes that are not faults).
#pragma once
#include <hostddk/ddk.h>

#include <string>
#include <vector>

#include "../usb/function.h"

namespace hk::adapter {

struct ControlRecord {
  usb::SetupPacket Setup;
  std::vector<UCHAR> Data;  // OUT: what the host sent; IN: what the adapter answered
  USBD_STATUS Status;       // what the adapter answered with
  LONGLONG Time;            // clock::Now() at the request
};

enum class ViolationKind {
  OddLength,            // bulk-out transfer with a trailing half unit (ignored)
  TooLong,              // bulk-out transfer of more than 64 bytes (taken all the same)
  UnknownUnit,          // bulk-out unit whose kind (bits 7-5) is neither 0xA0 nor 0xC0 (ignored)
  ReservedBits,         // bulk-out header with bits 4-2 set, or a modem-control unit whose
                        // second byte is not 0 (taken all the same)
  BeyondCredit,         // more units since the last credit reply (or since open) than granted
  TxOverflow,           // data units that found the transmit buffer full (dropped)
  ZeroLengthTransfer,   // a zero-length bulk-out transfer: allowed, noted only
  BadControlRequest,    // a control request that is not one of the three, or malformed
  ShortBulkIn,          // bulk-in transfer with room for less than one unit
  UnusedEndpoint,       // a transfer on an endpoint the host has no business with
};

const char* ToString(ViolationKind kind);

struct Violation {
  ViolationKind Kind;
  std::string Detail;
  LONGLONG Time;  // clock::Now() when it was seen
  // Everything but the zero-length note is a fault of the host side.
  bool Fault() const { return Kind != ViolationKind::ZeroLengthTransfer; }
};

// Every fault of the host side that any adapter saw, kept apart from the adapter so that a test
// harness finds them even after the adapter is gone: a broken protocol fails the test that broke
// it, like a verifier finding. Thread-safe.
void RecordFault(const Violation& violation);
std::vector<Violation> TakeFaults();  // returns and clears them

}  // namespace hk::adapter
