#include "bulk_in.h"

#include <algorithm>

#include "descriptors.h"

namespace hk::adapter {

void ReceiveFifo::Push(LineChar c) {
  if (fifo_.size() >= capacity_) {
    ++overflows_;
    return;
  }
  fifo_.push_back(c);
}

std::vector<LineChar> ReceiveFifo::Take(size_t count) {
  count = std::min(count, fifo_.size());
  std::vector<LineChar> out(fifo_.begin(), fifo_.begin() + count);
  fifo_.erase(fifo_.begin(), fifo_.begin() + count);
  return out;
}

void ReceiveFifo::PutBack(const std::vector<LineChar>& chars) {
  fifo_.insert(fifo_.begin(), chars.begin(), chars.end());
}

ULONG UnitsFor(ULONG transferLength) { return std::min(transferLength, kMaxPacket) / 2; }

std::vector<UCHAR> FramePacket(const std::vector<LineChar>& chars, UCHAR inputs) {
  inputs &= 0x0F;
  if (chars.empty()) return {(UCHAR)(kStatusUnit | inputs), 0x00};
  std::vector<UCHAR> packet;
  packet.reserve(chars.size() * 2);
  for (const LineChar& c : chars) {
    packet.push_back((UCHAR)((c.Error ? kLineErrorUnit : kCharacterUnit) | inputs));
    packet.push_back(c.Ch);
  }
  return packet;
}

}  // namespace hk::adapter
