#include "records.h"

#include <mutex>

namespace hk::adapter {
namespace {
std::mutex g_faultLock;
std::vector<Violation> g_faults;  // guarded by g_faultLock
}  // namespace

void RecordFault(const Violation& violation) {
  std::lock_guard<std::mutex> guard(g_faultLock);
  g_faults.push_back(violation);
}

std::vector<Violation> TakeFaults() {
  std::lock_guard<std::mutex> guard(g_faultLock);
  std::vector<Violation> out;
  out.swap(g_faults);
  return out;
}

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
