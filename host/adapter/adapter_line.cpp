// The adapter's RS-232 side: the UART moving characters out of the transmit buffer and in
// over RX at the character rate, on the machine's clock; the modem lines.
#include "../kernel/clock.h"
#include "adapter.h"

namespace hk::adapter {

UCHAR Adapter::InputsLocked() const {
  if (options_.Partner == LinePartner::Loopback) return (UCHAR)((rts_ ? kCts : 0) | (dtr_ ? kDsr | kDcd : 0));
  return externalInputs_;
}

uint64_t Adapter::ScheduleLocked(LONGLONG due, void (Adapter::*handler)()) {
  std::shared_ptr<Life> life = life_;
  return clock::Schedule(due, [life, handler] {
    std::lock_guard<std::mutex> guard(life->Lock);
    if (life->Self) (life->Self->*handler)();
  });
}

void Adapter::EmitLocked(UCHAR ch) {
  ch = OnTheLine(ch, uart_);
  transmitted_.push_back(ch);
  // Through a loopback plug the character's stop bit ends on RX as it ends on TX.
  if (options_.Partner == LinePartner::Loopback) fifo_.Push({ch, false});
}

void Adapter::StartTransmitterLocked(bool backToBack) {
  if (options_.Unthrottled || transmitter_.Shifting() || !transmitter_.Waiting()) return;
  // The clock fires on whole units, a little after the stop bit ended: starting from the exact
  // end keeps a long run of characters from drifting.
  LONGLONG startPs = backToBack ? transmitter_.LastEndPs() : NowPs();
  LONGLONG endPs = transmitter_.Start(startPs, CharacterPs(uart_));
  transmitterEvent_ = ScheduleLocked(ClockUnitsAtOrAfter(endPs), &Adapter::OnTransmitterDone);
}

void Adapter::OnTransmitterDone() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    transmitterEvent_ = 0;
    if (!transmitter_.Shifting()) return;
    EmitLocked(transmitter_.Finish());
    StartTransmitterLocked(true);
  }
  Pump();  // room for a waiting credit query; a looped-back character for the host
}

void Adapter::ReceiveLocked(LineChar c) {
  c.Ch = OnTheLine(c.Ch, uart_);
  if (options_.Unthrottled) {
    fifo_.Push(c);
    return;
  }
  receiver_.Send(c, NowPs(), CharacterPs(uart_));
  ScheduleReceiverLocked();
}

void Adapter::ScheduleReceiverLocked() {
  LONGLONG next = receiver_.NextArrivalPs();
  if (receiverEvent_ || next < 0) return;
  receiverEvent_ = ScheduleLocked(ClockUnitsAtOrAfter(next), &Adapter::OnReceiverArrival);
}

void Adapter::OnReceiverArrival() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    receiverEvent_ = 0;
    for (const LineChar& c : receiver_.Arrived(NowPs())) fifo_.Push(c);
    ScheduleReceiverLocked();
  }
  Pump();
}

void Adapter::SetModemInputs(UCHAR bits) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    externalInputs_ = bits & 0x0F;
  }
  Pump();
}

UCHAR Adapter::ModemInputs() const {
  std::lock_guard<std::mutex> guard(lock_);
  return InputsLocked();
}

bool Adapter::Dtr() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dtr_;
}

bool Adapter::Rts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return rts_;
}

void Adapter::ReceiveFromLine(const std::vector<UCHAR>& chars) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (UCHAR ch : chars) ReceiveLocked({ch, false});
  }
  Pump();
}

void Adapter::ReceiveWithLineError(UCHAR ch) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ReceiveLocked({ch, true});
  }
  Pump();
}

std::vector<UCHAR> Adapter::TakeTransmitted() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<UCHAR> out;
  out.swap(transmitted_);
  return out;
}

UartSettings Adapter::CurrentUart() const {
  std::lock_guard<std::mutex> guard(lock_);
  return uart_;
}

}  // namespace hk::adapter
