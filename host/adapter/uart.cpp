#include "uart.h"

#include <algorithm>

namespace hk::adapter {

LONGLONG CharacterPs(const UartSettings& settings) {
  return (LONGLONG)settings.BitsPerCharacter() * 1000000000000LL / settings.Baud;
}

LONGLONG ClockUnitsAtOrAfter(LONGLONG ps) { return (ps + kPsPerClockUnit - 1) / kPsPerClockUnit; }

UCHAR OnTheLine(UCHAR ch, const UartSettings& settings) {
  return settings.DataBits == 7 ? (UCHAR)(ch & 0x7F) : ch;
}

bool Transmitter::Push(UCHAR ch) {
  if (queue_.size() >= capacity_) return false;
  queue_.push_back(ch);
  return true;
}

LONGLONG Transmitter::Start(LONGLONG startPs, LONGLONG charPs) {
  shifting_ = true;
  endPs_ = startPs + charPs;
  return endPs_;
}

UCHAR Transmitter::Finish() {
  UCHAR ch = queue_.front();
  queue_.pop_front();
  shifting_ = false;
  return ch;
}

void Transmitter::Flush() { queue_.resize(shifting_ ? 1 : 0); }

void Receiver::Send(LineChar c, LONGLONG nowPs, LONGLONG charPs) {
  freePs_ = std::max(nowPs, freePs_) + charPs;
  wire_.push_back({freePs_, c});
}

std::vector<LineChar> Receiver::Arrived(LONGLONG nowPs) {
  std::vector<LineChar> out;
  while (!wire_.empty() && wire_.front().EndPs <= nowPs) {
    out.push_back(wire_.front().Char);
    wire_.pop_front();
  }
  return out;
}

}  // namespace hk::adapter
