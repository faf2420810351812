#include "bulk_out.h"

#include <cstdio>

#include "descriptors.h"

namespace hk::adapter {
namespace {

std::string Hex(UCHAR b) {
  char text[8];
  std::snprintf(text, sizeof(text), "%02X", b);
  return text;
}

}  // namespace

ParsedOut ParseOutTransfer(const UCHAR* bytes, ULONG length) {
  ParsedOut out;
  if (length == 0) out.Findings.push_back({ViolationKind::ZeroLengthTransfer, "zero-length bulk-out transfer"});
  if (length > kMaxPacket)
    out.Findings.push_back({ViolationKind::TooLong, "bulk-out transfer of " + std::to_string(length) + " bytes"});
  if (length % 2)
    out.Findings.push_back(
        {ViolationKind::OddLength, "bulk-out transfer of " + std::to_string(length) + " bytes ends in half a unit"});
  out.WholeUnits = length / 2;
  out.Units.reserve(out.WholeUnits);
  for (ULONG i = 0; i + 1 < length; i += 2) {
    UCHAR header = bytes[i];
    UCHAR data = bytes[i + 1];
    // Text only for a finding: a well-formed unit costs no string.
    auto at = [i] { return " at byte " + std::to_string(i); };
    UCHAR kind = header & kUnitKindMask;
    if (kind != kDataUnit && kind != kModemControlUnit) {
      out.Findings.push_back({ViolationKind::UnknownUnit, "unit " + Hex(header) + " " + Hex(data) + at()});
      continue;
    }
    if (header & kReservedHeaderBits)
      out.Findings.push_back({ViolationKind::ReservedBits, "header " + Hex(header) + at()});
    if (kind == kModemControlUnit && data != 0)
      out.Findings.push_back(
          {ViolationKind::ReservedBits, "modem-control unit " + Hex(header) + " " + Hex(data) + at()});
    out.Units.push_back({kind == kDataUnit, (header & kDtr) != 0, (header & kRts) != 0, data});
  }
  return out;
}

}  // namespace hk::adapter
