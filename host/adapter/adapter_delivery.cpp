// Finishing the adapter's IN transfers: bulk-in packets and credit replies. One thread at a
// time finishes them (pumping_), outside the lock; a packet whose transfer was cancelled
// meanwhile is put back, so nothing received is lost and nothing overtakes it.
#include <algorithm>
#include <cstring>

#include "adapter.h"

namespace hk::adapter {
namespace {

ULONG Fill(const usb::TransferPtr& transfer, const std::vector<UCHAR>& bytes) {
  ULONG n = std::min<ULONG>((ULONG)bytes.size(), transfer->Length());
  if (n) std::memcpy(transfer->Buffer(), bytes.data(), n);
  return n;
}

}  // namespace

bool Adapter::Finish(const Job& job) { return job.Transfer->Complete(job.Bytes, job.Status); }

void Adapter::Pump() {
  std::unique_lock<std::mutex> guard(lock_);
  if (pumping_) return;  // the pumping thread looks again before it stops
  pumping_ = true;
  Job job;
  while (NextJobLocked(job)) {
    guard.unlock();
    bool delivered = Finish(job);
    guard.lock();
    if (!delivered) UndoLocked(job);
    else if (job.Kind != Undo::None) lastFinished_[job.Transfer->Endpoint()] = std::move(job);
    job = Job();
  }
  pumping_ = false;
}

// The buffer of a transfer taken from pending_ is filled here, under the lock: a cancel
// reaches the host only after Cancelled(), which waits for the lock.
bool Adapter::NextJobLocked(Job& job) {
  job.Session = session_;
  auto& in = pending_[kDataInEndpoint];
  if (!in.empty()) {
    const usb::TransferPtr& transfer = in.front();
    if (!injectedPackets_.empty()) {
      job.Transfer = transfer;
      job.Kind = Undo::InjectedPacket;
      job.Injected = std::move(injectedPackets_.front());
      injectedPackets_.pop_front();
      job.Bytes = Fill(transfer, job.Injected);
      in.pop_front();
      return true;
    }
    ULONG units = UnitsFor(transfer->Length());
    UCHAR inputs = InputsLocked();
    if (units == 0) {
      NoteLocked(ViolationKind::ShortBulkIn,
                 "bulk-in transfer of " + std::to_string(transfer->Length()) + " bytes has no room for a unit");
      job.Transfer = transfer;
      in.pop_front();
      return true;
    }
    if (fifo_.Size() || inputs != reportedInputs_) {
      job.Transfer = transfer;
      job.Kind = Undo::Packet;
      job.Chars = fifo_.Take(units);
      job.ReportedBefore = reportedInputs_;
      job.Bytes = Fill(transfer, FramePacket(job.Chars, inputs));
      reportedInputs_ = inputs;
      in.pop_front();
      return true;
    }
  }
  auto& credit = pending_[kCreditEndpoint];
  if (!credit.empty()) {
    const usb::TransferPtr& transfer = credit.front();
    std::vector<UCHAR> reply;
    if (!injectedCredit_.empty()) {
      job.Kind = Undo::InjectedCredit;
      job.Injected = std::move(injectedCredit_.front());
      injectedCredit_.pop_front();
      reply = job.Injected;
    } else {
      ULONG free = CreditableLocked();
      if (free < kCreditFloor) return false;
      job.Kind = Undo::Credit;
      reply = CreditReply(free);
    }
    job.Transfer = transfer;
    job.CreditBefore = credit_.Left();
    job.Bytes = Fill(transfer, reply);
    LONG granted = UnitsGranted(std::vector<UCHAR>(reply.begin(), reply.begin() + job.Bytes));
    if (granted >= 0) credit_.Grant((ULONG)granted);
    credit.pop_front();
    return true;
  }
  return false;
}

void Adapter::UndoLocked(const Job& job) {
  // An open since the job was taken started a clean session: the characters, the reported
  // inputs and the credit the job took belonged to the last one, and stay gone.
  bool sameSession = job.Session == session_;
  switch (job.Kind) {
    case Undo::None: break;
    case Undo::Packet:
      if (!sameSession) break;
      fifo_.PutBack(job.Chars);
      reportedInputs_ = job.ReportedBefore;
      break;
    case Undo::InjectedPacket: injectedPackets_.push_front(job.Injected); break;
    case Undo::InjectedCredit:
      injectedCredit_.push_front(job.Injected);
      if (sameSession) credit_.Grant(job.CreditBefore);
      break;
    case Undo::Credit:
      if (sameSession) credit_.Grant(job.CreditBefore);
      break;
  }
}

void Adapter::FailNext(UCHAR endpoint, USBD_STATUS status) {
  Job job;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto& pending = pending_[endpoint];
    if (pending.empty()) {
      plantedFaults_[endpoint].push_back({false, status});
      return;
    }
    job.Transfer = pending.front();
    job.Status = status;
    pending.pop_front();
  }
  Finish(job);
}

void Adapter::StallNext(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& pending = pending_[endpoint];
  if (pending.empty()) {
    plantedFaults_[endpoint].push_back({true, USBD_STATUS_SUCCESS});
    return;
  }
  held_[endpoint].push_back(pending.front());
  pending.pop_front();
}

void Adapter::ClearPlantedFaults() {
  std::lock_guard<std::mutex> guard(lock_);
  plantedFaults_.clear();
}

void Adapter::InjectBulkIn(std::vector<UCHAR> packet) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    injectedPackets_.push_back(std::move(packet));
  }
  Pump();
}

void Adapter::InjectCreditReply(std::vector<UCHAR> reply) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    injectedCredit_.push_back(std::move(reply));
  }
  Pump();
}

}  // namespace hk::adapter
