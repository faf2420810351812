// The writer's pacing by the adapter's credit: what goes out before the first query, which
// replies are believed, when a write completes, and how a credit spent by a failed transfer is
// recovered. The bus sees: "out N" transfers, "ask" queries and their "reply" bytes.
#include "data_flow.h"

namespace hk::test {
namespace {

using namespace win32;

// A UART at 9600 bit/s: the adapter's 128-character buffer drains in about 133 ms, so it
// answers a query only once 32 characters have gone out.
class TxCredit : public DataFlowTest {
 protected:
  adapter::AdapterOptions AdapterSetup() override {
    auto o = DataFlowTest::AdapterSetup();
    o.Unthrottled = false;
    return o;
  }
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    AlignToTick();
  }
};

class TxCreditUnthrottled : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
};

// Open's line unit took 2 of the 256 bytes of credit: three full transfers go before the first
// query, which the adapter answers at once (its buffer has room for 32 more characters).
TEST_F(TxCredit, AfterOpenThreeFullTransfersGoBeforeTheFirstQuery) {
  BusTrace trace(Node());
  auto data = Pattern(150);  // 300 bytes of units
  auto write = StartWrite(data);
  EXPECT_EQ(trace.Text(), "out 64, out 64, out 64, ask, reply 00 20, out 64, ask");
  EXPECT_FALSE(write->Done());
  EXPECT_EQ(Ext()->TxCount, 44u);

  machine().AdvanceMs(40);  // 32 characters have left the adapter
  EXPECT_EQ(trace.Text(), "out 64, out 64, out 64, ask, reply 00 20, out 64, ask, reply 00 20, out 44, ask");
  EXPECT_FALSE(write->Done()) << "44 of a granted 64 leave too little credit: it asks again first";
  machine().AdvanceMs(40);
  EXPECT_EQ(trace.Text(),
            "out 64, out 64, out 64, ask, reply 00 20, out 64, ask, reply 00 20, out 44, ask, reply 00 20");
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 150u);
  machine().AdvanceMs(200);
  EXPECT_EQ(Device().TakeTransmitted(), data);
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(TxCredit, ShortWriteAfterOpenCompletesWithItsOwnTransfer) {
  BusTrace trace(Node());
  SetWaitMask(SERIAL_EV_TXEMPTY);
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
  ASSERT_FALSE(wait->Done());
  auto write = StartWrite(Bytes("0123456789"));
  ASSERT_TRUE(write->Done()) << "234 bytes of credit are left (open's line unit took 2): no need to ask";
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 10u);
  EXPECT_EQ(trace.Text(), "out 20");
  EXPECT_EQ(Ext()->TxCredit, 234);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(*(ULONG*)wait->Buffer.data(), (ULONG)SERIAL_EV_TXEMPTY);
}

TEST_F(TxCreditUnthrottled, RepliesOutsideThirtyTwoToOneHundredTwentyEightAreAskedAgain) {
  BusTrace trace(Node());
  Device().InjectCreditReply({0x00, 0x1F});
  Device().InjectCreditReply({0x00, 0x81});
  Device().InjectCreditReply({0x01, 0x00});
  Device().InjectCreditReply({0x00});
  Device().InjectCreditReply({0x00, 0x20});  // 32 units: one transfer's worth
  auto write = StartWrite(Pattern(300));     // 600 bytes
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 300u);
  EXPECT_EQ(trace.Text(),
            "out 64, out 64, out 64, ask, reply 00 1F, ask, reply 00 81, ask, reply 01 00, ask, reply 00, "
            "ask, reply 00 20, out 64, ask, reply 00 80, out 64, out 64, out 64, out 64, ask, reply 00 80, out 64, "
            "out 24");
  EXPECT_EQ(DataCharacters(Device().BulkOutTransfers()), Pattern(300));
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(TxCreditUnthrottled, CreditSpentByAFailedTransferIsAskedForWithAnEmptyTransfer) {
  // Open's line unit spent 2 bytes of credit; a write whose end leaves less than 129 asks, and
  // the adapter's answer gives back all 256.
  auto warm = StartWrite(Pattern(64));
  ASSERT_TRUE(warm->Done());
  ASSERT_EQ(Ext()->TxCredit, 256);
  Bus().SetFramePacing(true);
  AlignToTick();
  BusTrace trace(Node());
  auto first = StartWrite(Pattern(128));  // exactly the 256 bytes of credit
  machine().AdvanceMs(1);  // the third transfer is in flight
  Device().FailNext(0x02, USBD_STATUS_STALL_PID);
  machine().AdvanceMs(5);
  ASSERT_TRUE(first->Done());
  EXPECT_EQ(first->Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(first->Bytes(), 0u);
  EXPECT_EQ(trace.Text(), "out 64, out 64, out 64, out 64, out failed");
  EXPECT_EQ(Ext()->TxCredit, 0);

  trace.Clear();
  auto second = StartWrite(Bytes("A"));
  machine().AdvanceMs(10);
  ASSERT_TRUE(second->Done());
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
  EXPECT_EQ(trace.Text(), "out 0, ask, reply 00 80, out 2");
}

}  // namespace
}  // namespace hk::test
