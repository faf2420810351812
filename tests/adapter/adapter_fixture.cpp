#include "adapter_fixture.h"

#include <cstring>

namespace hk::test {

bool FakeTransfer::Complete(ULONG bytes, USBD_STATUS status, LONGLONG due) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!pending_) return false;
  pending_ = false;
  completed_ = true;
  bytes_ = bytes < buffer_.size() ? bytes : (ULONG)buffer_.size();
  status_ = status;
  at_ = due > clock::Now() ? due : clock::Now();
  done_.notify_all();
  return true;
}

bool FakeTransfer::Pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_;
}

bool FakeTransfer::Done() const {
  std::lock_guard<std::mutex> guard(lock_);
  return completed_;
}

USBD_STATUS FakeTransfer::Status() const {
  std::lock_guard<std::mutex> guard(lock_);
  return status_;
}

Bytes FakeTransfer::Data() const {
  std::lock_guard<std::mutex> guard(lock_);
  return Bytes(buffer_.begin(), buffer_.begin() + bytes_);
}

LONGLONG FakeTransfer::CompletedAt() const {
  std::lock_guard<std::mutex> guard(lock_);
  return at_;
}

void FakeTransfer::Cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  pending_ = false;
}

bool FakeTransfer::WaitDone(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(lock_);
  return done_.wait_for(guard, limit, [this] { return completed_; });
}

void AdapterTest::SetUp() { machine_ = std::make_unique<Machine>(); }

void AdapterTest::TearDown() {
  adapter_.reset();
  machine_->Shutdown();
  machine_.reset();
  VerifiedTest::TearDown();
}

adapter::Adapter& AdapterTest::Make(adapter::AdapterOptions options) {
  adapter_ = std::make_shared<adapter::Adapter>(options);
  return *adapter_;
}

adapter::Adapter& AdapterTest::Unthrottled(adapter::LinePartner partner) {
  adapter::AdapterOptions options;
  options.Unthrottled = true;
  options.Partner = partner;
  return Make(options);
}

Fake AdapterTest::In(ULONG length, UCHAR endpoint) {
  auto t = std::make_shared<FakeTransfer>(endpoint, length);
  adapter_->Submit(t);
  return t;
}

Fake AdapterTest::Out(Bytes bytes) {
  auto t = std::make_shared<FakeTransfer>(adapter::kDataOutEndpoint, std::move(bytes));
  adapter_->Submit(t);
  return t;
}

void AdapterTest::Send(const std::string& text, UCHAR lines) {
  for (size_t i = 0; i < text.size(); i += 32) {
    Fake t = Out(DataUnits(text.substr(i, 32), lines));
    EXPECT_EQ(t->Status(), USBD_STATUS_SUCCESS);
  }
}

USBD_STATUS AdapterTest::Vendor(UCHAR requestType, UCHAR request, Bytes& data, USHORT length) {
  usb::SetupPacket setup{requestType, request, 0, 0, length};
  bool in = (requestType & 0x80) != 0;
  Bytes buffer(length);
  if (!in) buffer = data;
  ULONG transferred = in ? 0 : (ULONG)buffer.size();
  USBD_STATUS status = adapter_->Control(setup, buffer.data(), transferred);
  if (in) data.assign(buffer.begin(), buffer.begin() + transferred);
  return status;
}

Bytes AdapterTest::Open() {
  Bytes reply;
  EXPECT_EQ(Vendor(0xC1, 1, reply, 2), USBD_STATUS_SUCCESS);
  return reply;
}

Bytes AdapterTest::Close() {
  Bytes reply;
  EXPECT_EQ(Vendor(0xC1, 2, reply, 2), USBD_STATUS_SUCCESS);
  return reply;
}

USBD_STATUS AdapterTest::SetLine(Bytes block) { return Vendor(0x41, 3, block, (USHORT)block.size()); }

std::string AdapterTest::Drain() {
  std::string out;
  for (;;) {
    Fake t = In();
    if (!t->Done()) {
      t->Cancel();
      adapter_->Cancelled(t);
      return out;
    }
    Bytes packet = t->Data();
    for (size_t i = 0; i + 1 < packet.size(); i += 2)
      if ((packet[i] & 0xE0) == 0x20 || (packet[i] & 0xE0) == 0x60) out += (char)packet[i + 1];
  }
}

Bytes AdapterTest::DataUnits(const std::string& text, UCHAR lines) {
  Bytes out;
  for (char c : text) {
    out.push_back((UCHAR)(0xA0 | lines));
    out.push_back((UCHAR)c);
  }
  return out;
}

}  // namespace hk::test
