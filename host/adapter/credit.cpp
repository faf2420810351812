#include "credit.h"

#include <algorithm>

namespace hk::adapter {

std::vector<UCHAR> CreditReply(ULONG freeUnits) {
  ULONG units = std::min(freeUnits, kCreditCap);
  return {(UCHAR)(units >> 8), (UCHAR)units};
}

LONG UnitsGranted(const std::vector<UCHAR>& reply) {
  if (reply.size() < 2) return -1;
  ULONG units = (ULONG)reply[0] << 8 | reply[1];
  return units >= kCreditFloor && units <= kCreditCap ? (LONG)units : -1;
}

bool CreditLedger::Spend(ULONG units) {
  if (units > left_) {
    left_ = 0;
    return false;
  }
  left_ -= units;
  return true;
}

}  // namespace hk::adapter
