// The RS-232 side: character timing, the transmit buffer with the shift register behind it,
// and characters travelling in over RX. Plain state with times; the adapter does the locking
// and puts the due times on the clock.
#pragma once
#include <hostddk/ddk.h>

#include <deque>
#include <vector>

#include "control.h"

namespace hk::adapter {

// Line times are kept in picoseconds, so that back-to-back characters add up without drift
// (a character at 115200 bit/s is 868.05 clock units); the clock sees them rounded up.
constexpr LONGLONG kPsPerClockUnit = 100000;
LONGLONG CharacterPs(const UartSettings& settings);
LONGLONG ClockUnitsAtOrAfter(LONGLONG ps);
// What a character becomes on the line: 7-bit characters lose their top bit.
UCHAR OnTheLine(UCHAR ch, const UartSettings& settings);

struct LineChar {
  UCHAR Ch;
  bool Error;  // framing or parity error seen by the receiver
};

// A character keeps its place in the buffer until its last stop bit is out.
class Transmitter {
 public:
  explicit Transmitter(ULONG capacity) : capacity_(capacity) {}
  ULONG Capacity() const { return capacity_; }
  ULONG Free() const { return capacity_ - (ULONG)queue_.size(); }
  bool Push(UCHAR ch);  // false when the buffer is full
  bool Shifting() const { return shifting_; }
  bool Waiting() const { return queue_.size() > (shifting_ ? 1u : 0u); }
  // Starts the next waiting character at `startPs`; returns the time its last stop bit is out.
  LONGLONG Start(LONGLONG startPs, LONGLONG charPs);
  // When the last character's stop bit was out: the next one follows it without a gap.
  LONGLONG LastEndPs() const { return endPs_; }
  UCHAR Finish();  // the character on the line is out: it leaves the buffer
  void Flush();    // drops the waiting characters; the one on the line still goes out

 private:
  ULONG capacity_;
  std::deque<UCHAR> queue_;  // front: the character on the line when shifting_
  bool shifting_ = false;
  LONGLONG endPs_ = 0;
};

// Characters travelling in over RX one after the other, each arriving when its stop bit ends.
class Receiver {
 public:
  void Send(LineChar c, LONGLONG nowPs, LONGLONG charPs);
  LONGLONG NextArrivalPs() const { return wire_.empty() ? -1 : wire_.front().EndPs; }
  std::vector<LineChar> Arrived(LONGLONG nowPs);

 private:
  struct OnWire {
    LONGLONG EndPs;
    LineChar Char;
  };
  std::deque<OnWire> wire_;
  LONGLONG freePs_ = 0;
};

}  // namespace hk::adapter
