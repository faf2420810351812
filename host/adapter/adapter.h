// The model of the USB-to-RS-232 adapter: what the driver relies on the device to do, on the
// USB side (descriptors, vendor requests, the two bulk streams and the credit reply) and on the
// RS-232 side (a UART at the configured rate, DTR/RTS out, CTS/DSR/RI/DCD in), plus a test
// interface to drive the line, plant faults and read back what the host did.
//
// Behaviour the host sees: request 1 (open) starts a session, emptying the transmit buffer
// (the character on the line still goes out) and the receive FIFO and granting 128 units of
// credit; bulk-out transfers are taken at once; a bulk-in transfer is finished as soon as there
// are characters or an unreported change of the inputs, with every header carrying the inputs
// of that moment (so an input that changes and changes back while no transfer is pending is not
// seen); a credit query is answered once 32 units are free, with at most 128.
//
// Thread-safe: the bus thread, clock events and test threads call in concurrently. Transfers
// are finished outside the adapter's lock, one at a time, so packets leave in order and a
// packet whose transfer was cancelled under it goes back where it came from.
#pragma once
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../usb/function.h"
#include "bulk_in.h"
#include "control.h"
#include "credit.h"
#include "descriptors.h"
#include "options.h"
#include "records.h"
#include "uart.h"

namespace hk::adapter {

class Adapter : public usb::Function {
 public:
  explicit Adapter(AdapterOptions options = {});
  ~Adapter() override;
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // usb::Function
  USHORT VendorId() const override { return kVendorId; }
  USHORT ProductId() const override { return kProductId; }
  std::u16string SerialNumber() const override { return options_.Serial; }
  std::vector<UCHAR> DeviceDescriptor() const override { return deviceDescriptor_; }
  // Index 0 in the chosen variant; any other index gets no bytes.
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override;
  USBD_STATUS Control(const usb::SetupPacket& setup, UCHAR* data, ULONG& length) override;
  void Configured(UCHAR configurationValue) override;
  void Submit(usb::TransferPtr transfer) override;
  void Cancelled(const usb::TransferPtr& transfer) override;
  void Detached() override;  // forgets every pending transfer; the bus fails them

  // ---- Test interface: the RS-232 side ----
  // Sets CTS 0x01, DSR 0x02, RI 0x04, DCD 0x08. A loopback plug drives the inputs itself and
  // this has no effect there.
  void SetModemInputs(UCHAR bits);
  UCHAR ModemInputs() const;
  bool Dtr() const;
  bool Rts() const;
  // Characters arriving on RX one after the other at the current character rate (all at once
  // when unthrottled), the first one a character time from now.
  void ReceiveFromLine(const std::vector<UCHAR>& chars);
  // One character with a framing or parity error, behind whatever is already arriving.
  void ReceiveWithLineError(UCHAR ch);
  // Characters that went out on TX (their stop bit is out) since the last call.
  std::vector<UCHAR> TakeTransmitted();
  UartSettings CurrentUart() const;

  // ---- Test interface: faults and planted answers ----
  // Delivered verbatim (0 to 64 bytes, odd lengths too, cut to the transfer's length) as the
  // next bulk-in packet, ahead of received data. It does not count as a report of the inputs.
  void InjectBulkIn(std::vector<UCHAR> packet);
  // The next credit query is answered exactly with these bytes, whatever the room.
  void InjectCreditReply(std::vector<UCHAR> reply);
  // The next transfer on `endpoint` fails with `status`: the oldest pending one at once, or
  // else the next one submitted. Its data is not taken.
  void FailNext(UCHAR endpoint, USBD_STATUS status);
  // The next transfer on `endpoint` (the oldest pending one, or else the next one submitted)
  // is held and never finished; only a cancel or a detach ends it.
  void StallNext(UCHAR endpoint);
  // Forgets the failures and holds planted by FailNext and StallNext that no transfer took yet.
  void ClearPlantedFaults();
  // The next `count` control requests with this request code fail with `status`.
  void FailControl(UCHAR request, USBD_STATUS status, int count = 1);
  // Request 1 is answered with exactly these bytes (cut to wLength) until ClearOpenReply.
  void SetOpenReply(std::vector<UCHAR> reply);
  void ClearOpenReply();

  // ---- Test interface: read-backs ----
  std::vector<ControlRecord> ControlRequests() const;
  // The data stage of every request 3, in order, whether the adapter took it or not.
  std::vector<std::vector<UCHAR>> LineSettings() const;
  // Raw bytes of every bulk-out transfer submitted, failed and held ones included.
  std::vector<std::vector<UCHAR>> BulkOutTransfers() const;
  std::vector<Violation> Violations() const;
  // Only the faults, without the notes (zero-length transfers).
  std::vector<Violation> Faults() const;
  size_t PendingTransfers(UCHAR endpoint) const;  // pending and held
  UCHAR ConfigurationValue() const;               // 0 when unconfigured
  ULONG FreeUnits() const;                        // the units the next credit reply offers
  size_t ReceivedWaiting() const;                 // characters in the receive FIFO
  ULONGLONG ReceiveOverflows() const;             // characters lost to a full receive FIFO
  ULONG CreditLeft() const;                       // units the host may send by its last grant

 private:
  // Lets clock events find out whether the adapter still exists.
  struct Life {
    std::mutex Lock;
    Adapter* Self;
  };
  enum class Undo { None, Packet, InjectedPacket, Credit, InjectedCredit };
  // A transfer to finish outside the lock, and how to take its effect back if it cannot be.
  struct Job {
    usb::TransferPtr Transfer;
    ULONG Bytes = 0;
    USBD_STATUS Status = USBD_STATUS_SUCCESS;
    Undo Kind = Undo::None;
    std::vector<LineChar> Chars;
    std::vector<UCHAR> Injected;
    UCHAR ReportedBefore = 0;
    ULONG CreditBefore = 0;
    uint64_t Session = 0;  // the session it was taken in
  };
  struct PlantedFault {
    bool Hold;
    USBD_STATUS Status;
  };

  // All *Locked members run with lock_ held.
  UCHAR InputsLocked() const;
  LONGLONG NowPs() const;
  void NoteLocked(ViolationKind kind, std::string detail);
  USBD_STATUS ControlLocked(const usb::SetupPacket& setup, UCHAR* data, ULONG& length, ControlRecord& record);
  void OpenLocked();
  Job OutLocked(const usb::TransferPtr& transfer);
  void EmitLocked(UCHAR ch);  // a character is out on TX
  // Starts the next character now, or right behind the one whose stop bit just went out.
  void StartTransmitterLocked(bool backToBack = false);
  void ScheduleReceiverLocked();
  void ReceiveLocked(LineChar c);
  uint64_t ScheduleLocked(LONGLONG due, void (Adapter::*handler)());
  void OnTransmitterDone();
  void OnReceiverArrival();
  bool NextJobLocked(Job& job);
  void UndoLocked(const Job& job);
  // Finishes pending transfers while there is something for them; one thread at a time.
  void Pump();
  static bool Finish(const Job& job);
  // The units a credit reply offers now: the transmit buffer's free room, bounded on an
  // unthrottled loopback line by the receive FIFO's room less the credit still unspent.
  ULONG CreditableLocked() const;

  const AdapterOptions options_;
  const std::vector<UCHAR> deviceDescriptor_;
  const std::vector<UCHAR> configurationDescriptor_;
  std::shared_ptr<Life> life_;

  mutable std::mutex lock_;
  bool pumping_ = false;
  UCHAR configuration_ = 0;
  // RS-232 side
  UartSettings uart_;
  bool dtr_ = false;
  bool rts_ = false;
  UCHAR externalInputs_ = 0;
  Transmitter transmitter_;
  Receiver receiver_;
  uint64_t transmitterEvent_ = 0;
  uint64_t receiverEvent_ = 0;
  std::vector<UCHAR> transmitted_;
  // USB side
  ReceiveFifo fifo_;
  UCHAR reportedInputs_ = 0;  // inputs the last packet carried
  CreditLedger credit_;
  // Opens so far: what a job took in an earlier session is not put back into this one.
  uint64_t session_ = 0;
  std::deque<std::vector<UCHAR>> injectedPackets_;
  std::deque<std::vector<UCHAR>> injectedCredit_;
  std::map<UCHAR, std::deque<usb::TransferPtr>> pending_;
  std::map<UCHAR, std::vector<usb::TransferPtr>> held_;
  // The last packet or reply finished on each IN endpoint. A bus that paces completions to
  // USB frames accepts Complete() at once and finishes the transfer later; if the host cancels
  // it meanwhile, Cancelled() names a transfer finished here, and its payload is taken back.
  std::map<UCHAR, Job> lastFinished_;
  std::map<UCHAR, std::deque<PlantedFault>> plantedFaults_;
  std::map<UCHAR, std::pair<USBD_STATUS, int>> controlFaults_;
  std::optional<std::vector<UCHAR>> openReply_;
  // Records
  std::vector<ControlRecord> controlRecords_;
  std::vector<std::vector<UCHAR>> lineBlocks_;
  std::vector<std::vector<UCHAR>> bulkOut_;
  std::vector<Violation> violations_;
};

}  // namespace hk::adapter
