// Faults planted by tests: packets delivered verbatim, transfers failed or held, and the bus
// taking the device away with transfers pending.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

using adapter::kCreditEndpoint;
using adapter::kDataInEndpoint;
using adapter::kDataOutEndpoint;

class PlantedFaults : public AdapterTest {};

TEST_F(PlantedFaults, InjectedPacketsGoOutVerbatimAheadOfReceivedData) {
  Unthrottled();
  dev().SetModemInputs(0x01);
  dev().ReceiveFromLine(Chars("data"));
  Bytes odd(63, 0x21);
  for (Bytes packet : {Bytes{0x21}, Bytes{}, Bytes{0x29, 0x41, 0x29}, odd, Bytes{0x60, 0x5A}}) dev().InjectBulkIn(packet);
  for (Bytes expected : {Bytes{0x21}, Bytes{}, Bytes{0x29, 0x41, 0x29}, odd, Bytes{0x60, 0x5A}}) {
    Fake t = In();
    ASSERT_TRUE(t->Done());
    EXPECT_EQ(t->Data(), expected);
  }
  EXPECT_EQ(In()->Data(), (Bytes{0x21, 'd', 0x21, 'a', 0x21, 't', 0x21, 'a'}));
}

TEST_F(PlantedFaults, InjectedPacketFinishesAWaitingTransferAndIsCutToItsLength) {
  Unthrottled();
  Fake waiting = In(4);
  dev().InjectBulkIn({0x20, 'a', 0x20, 'b', 0x20, 'c'});
  ASSERT_TRUE(waiting->Done());
  EXPECT_EQ(waiting->Data(), (Bytes{0x20, 'a', 0x20, 'b'}));
  EXPECT_FALSE(In()->Done()) << "the cut-off rest is not sent";
}

TEST_F(PlantedFaults, InjectedPacketIsNotTakenAsAReportOfTheInputs) {
  Unthrottled();
  dev().InjectBulkIn({0x29, 'x'});
  EXPECT_EQ(In()->Data(), (Bytes{0x29, 'x'}));
  Fake next = In();
  EXPECT_FALSE(next->Done()) << "no correction follows a planted packet";
  dev().SetModemInputs(0x02);
  EXPECT_EQ(next->Data(), (Bytes{0x02, 0x00}));
}

TEST_F(PlantedFaults, FailNextFailsThePendingBulkInTransferAndKeepsTheData) {
  Unthrottled();
  Fake t = In();
  dev().FailNext(kDataInEndpoint, USBD_STATUS_STALL_PID);
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Status(), USBD_STATUS_STALL_PID);
  EXPECT_TRUE(t->Data().empty());
  dev().ReceiveFromLine(Chars("ok"));
  EXPECT_EQ(Drain(), "ok");
}

TEST_F(PlantedFaults, FailNextWithNothingPendingFailsTheNextSubmittedOnly) {
  Unthrottled();
  dev().ReceiveFromLine(Chars("keep"));
  dev().FailNext(kDataInEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
  dev().FailNext(kDataOutEndpoint, USBD_STATUS_STALL_PID);
  dev().FailNext(kCreditEndpoint, USBD_STATUS_STALL_PID);
  EXPECT_EQ(In()->Status(), USBD_STATUS_DEV_NOT_RESPONDING);
  Fake out = Out(DataUnits("lost", 0x03));
  ASSERT_TRUE(out->Done());
  EXPECT_EQ(out->Status(), USBD_STATUS_STALL_PID);
  EXPECT_EQ(CreditQuery()->Status(), USBD_STATUS_STALL_PID);
  EXPECT_TRUE(dev().TakeTransmitted().empty()) << "a failed transfer's data is not taken";
  EXPECT_FALSE(dev().Dtr());
  EXPECT_EQ(dev().CreditLeft(), 128u);
  EXPECT_EQ(dev().BulkOutTransfers().size(), 1u) << "but it is on record as sent";
  EXPECT_EQ(Drain(), "keep");
  Out(DataUnits("sent"));
  EXPECT_EQ(Text(dev().TakeTransmitted()), "sent");
  EXPECT_EQ(CreditQuery()->Status(), USBD_STATUS_SUCCESS);
}

TEST_F(PlantedFaults, StalledTransferIsHeldUntilCancelled) {
  Unthrottled();
  dev().StallNext(kCreditEndpoint);
  Fake held = CreditQuery();
  EXPECT_FALSE(held->Done()) << "room enough, but held";
  EXPECT_EQ(dev().PendingTransfers(kCreditEndpoint), 1u);
  dev().InjectCreditReply({0x00, 0x40});
  EXPECT_FALSE(held->Done()) << "a held transfer gets nothing";
  held->Cancel();
  dev().Cancelled(held);
  EXPECT_EQ(dev().PendingTransfers(kCreditEndpoint), 0u);
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x40}));
  EXPECT_EQ(CreditQuery()->Data(), (Bytes{0x00, 0x80}));
}

TEST_F(PlantedFaults, StallNextHoldsAnAlreadyPendingBulkInTransferAndAnOutTransfer) {
  Unthrottled();
  Fake in = In();
  dev().StallNext(kDataInEndpoint);
  dev().ReceiveFromLine(Chars("r"));
  EXPECT_FALSE(in->Done());
  dev().StallNext(kDataOutEndpoint);
  Fake out = Out(DataUnits("w"));
  EXPECT_FALSE(out->Done());
  EXPECT_TRUE(dev().TakeTransmitted().empty());
  EXPECT_EQ(dev().PendingTransfers(kDataInEndpoint), 1u);
  EXPECT_EQ(dev().PendingTransfers(kDataOutEndpoint), 1u);
  EXPECT_EQ(Drain(), "r") << "later transfers are served";
}

TEST_F(PlantedFaults, DetachForgetsEveryPendingTransfer) {
  Make();
  Fake in = In();
  Send(std::string(128, 'x'));
  Fake credit = CreditQuery();
  dev().StallNext(kDataOutEndpoint);
  Fake out = Out(DataUnits("y"));
  dev().Detached();
  for (UCHAR ep : {kDataInEndpoint, kDataOutEndpoint, kCreditEndpoint}) EXPECT_EQ(dev().PendingTransfers(ep), 0u);
  dev().ReceiveFromLine(Chars("late"));
  AdvanceUs(200000);
  EXPECT_FALSE(in->Done()) << "the bus fails them; the adapter never touches them again";
  EXPECT_FALSE(credit->Done());
  EXPECT_FALSE(out->Done());
}

TEST_F(PlantedFaults, TransferOnAnEndpointTheHostShouldNotUseStalls) {
  Unthrottled();
  Fake t = In(64, adapter::kSpareEndpoint);
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Status(), USBD_STATUS_STALL_PID);
  ASSERT_EQ(dev().Faults().size(), 1u);
  EXPECT_EQ(dev().Faults()[0].Kind, adapter::ViolationKind::UnusedEndpoint);
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::UnusedEndpoint);
}

}  // namespace
}  // namespace hk::test
