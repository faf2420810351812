// What tests read back from the adapter; each a consistent snapshot under the lock.
#include "adapter.h"

namespace hk::adapter {

std::vector<ControlRecord> Adapter::ControlRequests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return controlRecords_;
}

std::vector<std::vector<UCHAR>> Adapter::LineSettings() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lineBlocks_;
}

std::vector<std::vector<UCHAR>> Adapter::BulkOutTransfers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bulkOut_;
}

std::vector<Violation> Adapter::Violations() const {
  std::lock_guard<std::mutex> guard(lock_);
  return violations_;
}

std::vector<Violation> Adapter::Faults() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Violation> out;
  for (const auto& v : violations_)
    if (v.Fault()) out.push_back(v);
  return out;
}

size_t Adapter::PendingTransfers(UCHAR endpoint) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  if (auto it = pending_.find(endpoint); it != pending_.end()) n += it->second.size();
  if (auto it = held_.find(endpoint); it != held_.end()) n += it->second.size();
  return n;
}

UCHAR Adapter::ConfigurationValue() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configuration_;
}

ULONG Adapter::FreeUnits() const {
  std::lock_guard<std::mutex> guard(lock_);
  return CreditableLocked();
}

ULONG Adapter::CreditableLocked() const {
  if (!options_.Unthrottled) return transmitter_.Free();
  ULONG free = transmitter_.Capacity();
  if (options_.Partner == LinePartner::Loopback) {
    size_t room = fifo_.Room();
    room = room > credit_.Left() ? room - credit_.Left() : 0;
    if (room < free) free = (ULONG)room;
  }
  return free;
}

size_t Adapter::ReceivedWaiting() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fifo_.Size();
}

ULONGLONG Adapter::ReceiveOverflows() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fifo_.Overflows();
}

ULONG Adapter::CreditLeft() const {
  std::lock_guard<std::mutex> guard(lock_);
  return credit_.Left();
}

}  // namespace hk::adapter
