// The bulk-in stream (endpoint 0x81): received characters wait in a bounded FIFO until a
// transfer takes them, framed as 2-byte units whose headers carry the modem inputs.
#pragma once
#include <hostddk/ddk.h>

#include <deque>
#include <vector>

#include "uart.h"

namespace hk::adapter {

constexpr UCHAR kStatusUnit = 0x00;
constexpr UCHAR kCharacterUnit = 0x20;
constexpr UCHAR kLineErrorUnit = 0x60;

class ReceiveFifo {
 public:
  explicit ReceiveFifo(ULONG capacity) : capacity_(capacity) {}
  void Push(LineChar c);  // a character that finds the FIFO full is lost and counted
  size_t Size() const { return fifo_.size(); }
  size_t Room() const { return fifo_.size() < capacity_ ? capacity_ - fifo_.size() : 0; }
  ULONGLONG Overflows() const { return overflows_; }
  std::vector<LineChar> Take(size_t count);
  // Returns characters taken for a packet that could not be delivered, ahead of the rest.
  void PutBack(const std::vector<LineChar>& chars);
  void Clear() { fifo_.clear(); }

 private:
  ULONG capacity_;
  std::deque<LineChar> fifo_;
  ULONGLONG overflows_ = 0;
};

// Units a bulk-in transfer of `length` bytes can carry: whole units of one 64-byte packet.
ULONG UnitsFor(ULONG transferLength);
// One packet: a unit per character, or a single status unit when there are none. Every header
// carries `inputs`, the inputs at the time the packet is sent.
std::vector<UCHAR> FramePacket(const std::vector<LineChar>& chars, UCHAR inputs);

}  // namespace hk::adapter
