// Building bulk-in packets and filling the receive buffer with them, for receive-path tests.
#pragma once
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "sim/machine.h"

namespace hk::test {

constexpr ULONG kRxBufferBytes = 1600000;
constexpr ULONG kUnitsPerPacket = 32;

// Character units (header 0x20 plus `inputs`) for each character of `text`.
inline std::vector<UCHAR> CharUnits(const std::string& text, UCHAR inputs = 0) {
  std::vector<UCHAR> out;
  for (char c : text) {
    out.push_back((UCHAR)(0x20 | (inputs & 0x0F)));
    out.push_back((UCHAR)c);
  }
  return out;
}

// Delivers `characters` characters as full 64-byte packets (the last one shorter when needed)
// while no read is pending, and waits until the driver has taken all of them.
inline void FillWithCharacters(adapter::Adapter& device, Machine& machine, ULONG characters, char fill = 'x') {
  std::vector<UCHAR> full = CharUnits(std::string(kUnitsPerPacket, fill));
  for (ULONG left = characters; left > 0;) {
    ULONG n = left < kUnitsPerPacket ? left : kUnitsPerPacket;
    device.InjectBulkIn(n == kUnitsPerPacket ? full : CharUnits(std::string(n, fill)));
    left -= n;
  }
  machine.Settle();
}

}  // namespace hk::test
