// Driving the adapter model the way the bus does, without a bus or a driver: fake transfers
// that record how the adapter finished them, and a machine for the virtual clock.
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "kernel/clock.h"
#include "sim/machine.h"
#include "verified_test.h"

namespace hk::test {

using Bytes = std::vector<UCHAR>;

class FakeTransfer : public usb::Transfer {
 public:
  FakeTransfer(UCHAR endpoint, ULONG length) : endpoint_(endpoint), buffer_(length) {}
  FakeTransfer(UCHAR endpoint, Bytes out) : endpoint_(endpoint), buffer_(std::move(out)) {}

  UCHAR Endpoint() const override { return endpoint_; }
  ULONG Length() const override { return (ULONG)buffer_.size(); }
  UCHAR* Buffer() override { return buffer_.empty() ? nullptr : buffer_.data(); }
  bool Complete(ULONG bytes, USBD_STATUS status, LONGLONG due) override;
  bool Pending() const override;

  bool Done() const;
  USBD_STATUS Status() const;
  Bytes Data() const;  // what an IN transfer received
  LONGLONG CompletedAt() const;
  // What the bus does first when the driver cancels: the transfer is no longer pending.
  void Cancel();
  // Waits, in real time, for another thread to finish the transfer.
  bool WaitDone(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  const UCHAR endpoint_;
  Bytes buffer_;
  mutable std::mutex lock_;
  std::condition_variable done_;
  bool pending_ = true;
  bool completed_ = false;
  ULONG bytes_ = 0;
  USBD_STATUS status_ = USBD_STATUS_PENDING;
  LONGLONG at_ = -1;
};
using Fake = std::shared_ptr<FakeTransfer>;

// A machine with no driver, only for its clock, under the verifier.
class AdapterTest : public VerifiedTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  adapter::Adapter& Make(adapter::AdapterOptions options = {});
  adapter::Adapter& Unthrottled(adapter::LinePartner partner = adapter::LinePartner::None);
  adapter::Adapter& dev() { return *adapter_; }

  Fake In(ULONG length = 64, UCHAR endpoint = adapter::kDataInEndpoint);
  Fake Out(Bytes bytes);
  // `text` as data units in transfers of at most 64 bytes, as the driver sends them.
  void Send(const std::string& text, UCHAR lines = 0);
  Fake CreditQuery() { return In(64, adapter::kCreditEndpoint); }
  // A vendor request; `data` holds the OUT data stage or receives the IN reply.
  USBD_STATUS Vendor(UCHAR requestType, UCHAR request, Bytes& data, USHORT length);
  Bytes Open();
  Bytes Close();
  USBD_STATUS SetLine(Bytes block);
  // Bulk-in packets until one stays pending (that one is cancelled): the characters received.
  std::string Drain();

  static Bytes DataUnits(const std::string& text, UCHAR lines = 0);
  static Bytes Chars(const std::string& text) { return Bytes(text.begin(), text.end()); }
  static std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
  static LONGLONG Now() { return clock::Now(); }
  // Virtual time in microseconds (the clock's units are 100 ns).
  static void AdvanceUs(LONGLONG us) { clock::Advance(us * 10); }
  static void AdvanceTo(LONGLONG units) { clock::Advance(units - clock::Now()); }

 private:
  std::unique_ptr<Machine> machine_;
  std::shared_ptr<adapter::Adapter> adapter_;
};

}  // namespace hk::test
