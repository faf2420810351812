// The credit reply: free units, big-endian, only once 32 are free and never more than 128;
// held until the UART has made room; planted replies sent exactly.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

class Credit : public AdapterTest {};

TEST_F(Credit, EmptyBufferIsReportedAsTheCapOf128InTwoBytes) {
  Make();
  Fake q = CreditQuery();
  ASSERT_TRUE(q->Done());
  EXPECT_EQ(q->Status(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(q->Data(), (Bytes{0x00, 0x80}));
}

TEST_F(Credit, LargerBufferIsStillReportedAsAtMost128) {
  adapter::AdapterOptions options;
  options.TxBufferUnits = 1000;
  Make(options);
  Send(std::string(100, 'x'));
  EXPECT_EQ(dev().FreeUnits(), 900u);
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x80}));
}

TEST_F(Credit, ReplyIsTheFreeRoomHighByteFirst) {
  adapter::AdapterOptions options;
  options.TxBufferUnits = 400;
  Make(options);
  Send(std::string(300, 'x'));  // 300 units with 128 granted: the grant is not this test's matter
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x64})) << "100 free";
  options.TxBufferUnits = 2000;
  Make(options);
  EXPECT_EQ(dev().FreeUnits(), 2000u);
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x80}));
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::BeyondCredit);
}

TEST_F(Credit, QueryIsHeldUntil32UnitsAreFree) {
  Make();  // 9600 8N1: 1.0417 ms a character, 32 of them 33.33 ms
  Send(std::string(128, 'x'));
  ASSERT_EQ(dev().FreeUnits(), 0u);
  Fake q = CreditQuery();
  EXPECT_FALSE(q->Done());
  EXPECT_EQ(dev().PendingTransfers(adapter::kCreditEndpoint), 1u);
  AdvanceUs(33333);
  EXPECT_FALSE(q->Done()) << "31 characters out";
  EXPECT_EQ(dev().FreeUnits(), 31u);
  AdvanceUs(1);
  ASSERT_TRUE(q->Done());
  EXPECT_EQ(q->Data(), (Bytes{0x00, 0x20}));
  EXPECT_EQ(q->CompletedAt(), 333334);
  EXPECT_EQ(dev().PendingTransfers(adapter::kCreditEndpoint), 0u);
}

TEST_F(Credit, OpenEmptiesTheBufferAndAnswersAWaitingQuery) {
  Make();
  Send(std::string(128, 'x'));
  Fake q = CreditQuery();
  ASSERT_FALSE(q->Done());
  Open();
  ASSERT_TRUE(q->Done());
  EXPECT_EQ(q->Data(), (Bytes{0x00, 0x7F})) << "the character on the line still holds its place";
}

TEST_F(Credit, BufferSmallerThan32UnitsNeverAnswers) {
  adapter::AdapterOptions options;
  options.TxBufferUnits = 31;
  Make(options);
  Fake q = CreditQuery();
  AdvanceUs(100000);
  EXPECT_FALSE(q->Done());
}

TEST_F(Credit, PlantedRepliesAreSentExactlyAndOnlyOnce) {
  Unthrottled();
  for (Bytes planted : {Bytes{0x00, 0x1F}, Bytes{0x00, 0x81}, Bytes{0x01, 0x00}, Bytes{0x20}, Bytes{},
                        Bytes(64, 0x00)}) {
    dev().InjectCreditReply(planted);
    EXPECT_EQ(CreditQuery()->Data(), planted);
  }
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x80}));
}

TEST_F(Credit, PlantedReplyAnswersAQueryAlreadyWaitingForRoom) {
  Make();
  Send(std::string(128, 'x'));
  Fake q = CreditQuery();
  ASSERT_FALSE(q->Done());
  dev().InjectCreditReply({0x00, 0x20});
  ASSERT_TRUE(q->Done());
  EXPECT_EQ(q->Data(), (Bytes{0x00, 0x20}));
  EXPECT_EQ(dev().CreditLeft(), 32u) << "the host takes a valid planted reply at its word";
}

TEST_F(Credit, ReplyCancelledAfterTheAdapterSentItGrantsNothing) {
  Unthrottled();
  Send(std::string(100, 'x'));
  dev().InjectCreditReply({0x00, 0x30});
  Fake q = CreditQuery();
  ASSERT_EQ(dev().CreditLeft(), 48u);
  dev().Cancelled(q);  // a paced bus had not handed it over yet
  EXPECT_EQ(dev().CreditLeft(), 28u);
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x30})) << "the planted reply is still to come";
}

TEST_F(Credit, ReplyTheHostIgnoresGrantsNothing) {
  Unthrottled();
  Send(std::string(100, 'x'));
  ASSERT_EQ(dev().CreditLeft(), 28u);
  for (Bytes ignored : {Bytes{0x00, 0x1F}, Bytes{0x00, 0x81}, Bytes{0x80}}) {
    dev().InjectCreditReply(ignored);
    CreditQuery();
    EXPECT_EQ(dev().CreditLeft(), 28u);
  }
  dev().InjectCreditReply({0x00, 0x40, 0xFF});
  CreditQuery();
  EXPECT_EQ(dev().CreditLeft(), 64u);
}

// A line with no speed through a loopback plug runs as fast as the receive FIFO drains: a host
// that writes all it is granted and never reads is stopped by credit, and nothing is dropped.
TEST_F(Credit, UnthrottledLoopbackOffersOnlyWhatTheReceiveFifoHasRoomFor) {
  adapter::AdapterOptions options;
  options.Unthrottled = true;
  options.Partner = adapter::LinePartner::Loopback;
  options.RxFifoChars = 300;
  Make(options);
  Fake q;
  std::string sent;
  for (char c = 'a'; c < 'k'; ++c) {
    std::string chunk(dev().CreditLeft(), c);
    Send(chunk);
    sent += chunk;
    q = CreditQuery();
    if (!q->Done()) break;
  }
  EXPECT_EQ(sent.size(), 300u) << "128 after open, then 128 and the 44 left";
  EXPECT_FALSE(q->Done()) << "a full FIFO offers no credit";
  EXPECT_EQ(dev().ReceiveOverflows(), 0u);
  EXPECT_EQ(Drain(), sent);
  ASSERT_TRUE(q->Done()) << "the room reading made answers the waiting query";
  EXPECT_EQ(q->Data(), (Bytes{0x00, 0x20})) << "as soon as the first packet made room for 32";
}

}  // namespace
}  // namespace hk::test
