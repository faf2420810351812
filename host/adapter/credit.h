// The credit reply (endpoint 0x83): the free room of the transmit buffer in units, big-endian.
// The host accepts 32 to 128 and asks again at once otherwise, so the adapter answers only
// once 32 units are free and never offers more than 128.
#pragma once
#include <hostddk/ddk.h>

#include <vector>

namespace hk::adapter {

constexpr ULONG kCreditFloor = 32;
constexpr ULONG kCreditCap = 128;
// What the host may send after open before it has asked: 256 bytes.
constexpr ULONG kCreditAfterOpen = 128;

// Two bytes, high byte first. The reply is a short packet: nothing after byte 1.
std::vector<UCHAR> CreditReply(ULONG freeUnits);
// The units a reply lets the host send, as the host reads it; -1 for a reply it ignores.
LONG UnitsGranted(const std::vector<UCHAR>& reply);

// What the host may still send: set by every reply it accepts, spent by every unit it sends.
class CreditLedger {
 public:
  void Grant(ULONG units) { left_ = units; }
  ULONG Left() const { return left_; }
  // False when `units` exceed what is left; what is left is then 0.
  bool Spend(ULONG units);

 private:
  ULONG left_ = kCreditAfterOpen;
};

}  // namespace hk::adapter
