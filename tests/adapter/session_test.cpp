// Transfers the host cancelled and a new session. A packet or credit reply the adapter took for
// a transfer the host cancelled goes back, so that nothing is lost; but not across an open that
// came meanwhile, which starts the session clean: what the job took belonged to the last one.
// A transfer cancelled on its way from the bus never reaches the device, whatever comes after.
#include <functional>

#include "adapter_fixture.h"

namespace hk::test {
namespace {

// An IN transfer the host cancels while the adapter finishes it: `meanwhile` runs first, as
// another thread would, and then the bus refuses the completion.
class CancelledWhileFinished : public usb::Transfer {
 public:
  CancelledWhileFinished(UCHAR endpoint, std::function<void()> meanwhile)
      : endpoint_(endpoint), buffer_(64), meanwhile_(std::move(meanwhile)) {}
  UCHAR Endpoint() const override { return endpoint_; }
  ULONG Length() const override { return (ULONG)buffer_.size(); }
  UCHAR* Buffer() override { return buffer_.data(); }
  bool Complete(ULONG, USBD_STATUS, LONGLONG) override {
    if (meanwhile_) meanwhile_();
    meanwhile_ = nullptr;
    pending_ = false;
    return false;
  }
  bool Pending() const override { return pending_; }

 private:
  const UCHAR endpoint_;
  Bytes buffer_;
  std::function<void()> meanwhile_;
  bool pending_ = true;
};

// Received characters as bulk-in units, with no modem inputs up.
Bytes Units(const std::string& text) {
  Bytes out;
  for (char c : text) out.insert(out.end(), {0x20, (UCHAR)c});
  return out;
}

class AdapterSession : public AdapterTest {};

TEST_F(AdapterSession, CharactersTakenForACancelledPacketDoNotComeBackAfterAnOpen) {
  Unthrottled();
  Open();
  dev().ReceiveFromLine(Chars("old"));
  ASSERT_EQ(dev().ReceivedWaiting(), 3u);
  dev().Submit(std::make_shared<CancelledWhileFinished>(adapter::kDataInEndpoint, [this] { Open(); }));
  EXPECT_EQ(dev().ReceivedWaiting(), 0u) << "characters of the last session came back after the open";
  Fake next = In();
  EXPECT_FALSE(next->Done()) << "the new session got " << Text(next->Data());
  dev().ReceiveFromLine(Chars("new"));
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Data(), Units("new"));

  // Within one session the characters go back, ahead of later ones.
  dev().ReceiveFromLine(Chars("abc"));
  dev().Submit(std::make_shared<CancelledWhileFinished>(adapter::kDataInEndpoint, nullptr));
  dev().ReceiveFromLine(Chars("d"));
  Fake again = In();
  ASSERT_TRUE(again->Done());
  EXPECT_EQ(again->Data(), Units("abcd"));
}

TEST_F(AdapterSession, CreditTakenForACancelledReplyDoesNotOverrideTheGrantOfAnOpen) {
  Unthrottled();
  Open();
  Send("abc");
  ASSERT_LT(dev().CreditLeft(), adapter::kCreditAfterOpen);
  dev().Submit(std::make_shared<CancelledWhileFinished>(adapter::kCreditEndpoint, [this] { Open(); }));
  EXPECT_EQ(dev().CreditLeft(), adapter::kCreditAfterOpen) << "the last session's credit came back after the open";
}

// The bus hands over a transfer the host has already cancelled and completed (a close that went
// on to the next open meanwhile): its characters must not reach the line, or they come back in
// the next session through a loopback plug.
TEST_F(AdapterSession, TransfersCancelledOnTheirWayFromTheBusAreIgnored) {
  Unthrottled();
  Open();
  auto out = std::make_shared<FakeTransfer>(adapter::kDataOutEndpoint, DataUnits("old"));
  out->Cancel();
  dev().Submit(out);
  EXPECT_FALSE(out->Done());
  EXPECT_TRUE(dev().TakeTransmitted().empty()) << "a cancelled transfer went out on the line";
  EXPECT_TRUE(dev().BulkOutTransfers().empty());

  dev().ReceiveFromLine(Chars("ab"));
  auto in = std::make_shared<FakeTransfer>(adapter::kDataInEndpoint, 64);
  in->Cancel();
  dev().Submit(in);
  EXPECT_FALSE(in->Done());
  EXPECT_EQ(dev().ReceivedWaiting(), 2u) << "a cancelled transfer took the characters";
  Fake next = In();
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Data(), Units("ab"));
}

}  // namespace
}  // namespace hk::test
