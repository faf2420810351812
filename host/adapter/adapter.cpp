// The adapter as a USB function: descriptors, configuration, and the transfers the bus hands
// over. The bulk-out stream is taken at once; the IN endpoints wait in pending_ for Pump.
#include "adapter.h"

#include <algorithm>

#include "../kernel/clock.h"
#include "bulk_out.h"

namespace hk::adapter {

Adapter::Adapter(AdapterOptions options)
    : options_(std::move(options)),
      deviceDescriptor_(DeviceDescriptorBytes(!options_.Serial.empty())),
      configurationDescriptor_(ConfigurationDescriptorBytes(options_.Variant)),
      life_(std::make_shared<Life>()),
      transmitter_(options_.TxBufferUnits),
      fifo_(options_.RxFifoChars) {
  life_->Self = this;
}

Adapter::~Adapter() {
  {
    std::lock_guard<std::mutex> guard(life_->Lock);
    life_->Self = nullptr;
  }
  if (transmitterEvent_) clock::Cancel(transmitterEvent_);
  if (receiverEvent_) clock::Cancel(receiverEvent_);
}

std::vector<UCHAR> Adapter::ConfigurationDescriptor(UCHAR index) const {
  return index == 0 ? configurationDescriptor_ : std::vector<UCHAR>{};
}

void Adapter::Configured(UCHAR configurationValue) {
  std::lock_guard<std::mutex> guard(lock_);
  configuration_ = configurationValue;
}

void Adapter::NoteLocked(ViolationKind kind, std::string detail) {
  violations_.push_back({kind, std::move(detail), clock::Now()});
  if (violations_.back().Fault()) RecordFault(violations_.back());
}

LONGLONG Adapter::NowPs() const { return clock::Now() * kPsPerClockUnit; }

void Adapter::Submit(usb::TransferPtr transfer) {
  Job now;
  bool finishNow = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // Cancelled on its way from the bus, before the device saw it: it never reaches the wire.
    // Tested under the lock Cancelled() takes, which the bus calls once the transfer is no
    // longer pending, so that a cancel either finds the transfer here or stops it here.
    if (!transfer->Pending()) return;
    UCHAR endpoint = transfer->Endpoint();
    if (endpoint == kDataOutEndpoint) {
      const UCHAR* bytes = transfer->Buffer();
      bulkOut_.emplace_back(bytes, bytes + (bytes ? transfer->Length() : 0));
    }
    auto& planted = plantedFaults_[endpoint];
    if (!planted.empty()) {
      PlantedFault fault = planted.front();
      planted.pop_front();
      if (fault.Hold) {
        held_[endpoint].push_back(transfer);
      } else {
        now.Transfer = transfer;
        now.Status = fault.Status;
        finishNow = true;
      }
    } else if (endpoint == kDataInEndpoint || endpoint == kCreditEndpoint) {
      pending_[endpoint].push_back(std::move(transfer));
    } else if (endpoint == kDataOutEndpoint) {
      now = OutLocked(transfer);
      finishNow = true;
    } else {
      NoteLocked(ViolationKind::UnusedEndpoint, "transfer on endpoint " + std::to_string(endpoint));
      now.Transfer = transfer;
      now.Status = USBD_STATUS_STALL_PID;
      finishNow = true;
    }
  }
  if (finishNow) Finish(now);
  Pump();
}

Adapter::Job Adapter::OutLocked(const usb::TransferPtr& transfer) {
  ULONG length = transfer->Buffer() ? transfer->Length() : 0;
  ParsedOut parsed = ParseOutTransfer(transfer->Buffer(), length);
  for (auto& finding : parsed.Findings) NoteLocked(finding.Kind, std::move(finding.Detail));
  ULONG left = credit_.Left();
  if (!credit_.Spend(parsed.WholeUnits))
    NoteLocked(ViolationKind::BeyondCredit,
               std::to_string(parsed.WholeUnits) + " units sent with " + std::to_string(left) + " granted");
  ULONG dropped = 0;
  for (const OutUnit& unit : parsed.Units) {
    dtr_ = unit.Dtr;
    rts_ = unit.Rts;
    if (!unit.Data) continue;
    if (options_.Unthrottled) EmitLocked(unit.Ch);
    else if (!transmitter_.Push(unit.Ch)) ++dropped;
  }
  if (dropped)
    NoteLocked(ViolationKind::TxOverflow,
               std::to_string(dropped) + " characters found the transmit buffer full and were dropped");
  StartTransmitterLocked();
  Job job;
  job.Transfer = transfer;
  job.Bytes = length;
  return job;
}

void Adapter::Cancelled(const usb::TransferPtr& transfer) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    UCHAR endpoint = transfer->Endpoint();
    auto& pending = pending_[endpoint];
    pending.erase(std::remove(pending.begin(), pending.end(), transfer), pending.end());
    auto& held = held_[endpoint];
    held.erase(std::remove(held.begin(), held.end(), transfer), held.end());
    auto finished = lastFinished_.find(endpoint);
    if (finished == lastFinished_.end() || finished->second.Transfer != transfer) return;
    // Finished here, but the host never got it: the packet goes back to the front.
    UndoLocked(finished->second);
    lastFinished_.erase(finished);
  }
  Pump();
}

void Adapter::Detached() {
  std::lock_guard<std::mutex> guard(lock_);
  pending_.clear();
  held_.clear();
  lastFinished_.clear();
  configuration_ = 0;
}

}  // namespace hk::adapter
