#include "records.h"

namespace hk::adapter {

const char* ToString(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::OddLength: return "odd-length";
    case ViolationKind::TooLong: return "too-long";
    case ViolationKind::UnknownUnit: return "unknown-unit";
    case ViolationKind::ReservedBits: return "reserved-bits";
    case ViolationKind::BeyondCredit: return "beyond-credit";
    case ViolationKind::TxOverflow: return "tx-overflow";
    case ViolationKind::ZeroLengthTransfer: return "zero-length-transfer";
    case ViolationKind::BadControlRequest: return "bad-control-request";
    case ViolationKind::ShortBulkIn: return "short-bulk-in";
    case ViolationKind::UnusedEndpoint: return "unused-endpoint";
  }
  return "?";
}

}  // namespace hk::adapter
