// The bulk-in stream: 2-byte units, the modem inputs in every header and the newest in the
// last one, packet limits, the receive FIFO, and transfers that are cancelled under the adapter.
#include "adapter_fixture.h"

namespace hk::test {
namespace {

using adapter::ViolationKind;

class BulkIn : public AdapterTest {};

TEST_F(BulkIn, CharactersAreUnitsOfType20CarryingTheInputs) {
  Unthrottled();
  dev().SetModemInputs(0x09);
  dev().ReceiveFromLine(Chars("AB"));
  Fake t = In();
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Status(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(t->Data(), (Bytes{0x29, 'A', 0x29, 'B'}));
}

TEST_F(BulkIn, LineErrorCharacterIsAUnitOfType60InItsPlace) {
  Unthrottled();
  dev().SetModemInputs(0x02);
  dev().ReceiveFromLine(Chars("a"));
  dev().ReceiveWithLineError('Z');
  dev().ReceiveFromLine(Chars("b"));
  EXPECT_EQ(In()->Data(), (Bytes{0x22, 'a', 0x62, 'Z', 0x22, 'b'}));
}

TEST_F(BulkIn, AChangeOfInputsAloneIsReportedOnceByAStatusUnit) {
  Unthrottled();
  Fake quiet = In();
  EXPECT_FALSE(quiet->Done()) << "nothing to report: the transfer waits";
  dev().SetModemInputs(0x0A);
  ASSERT_TRUE(quiet->Done());
  EXPECT_EQ(quiet->Data(), (Bytes{0x0A, 0x00}));
  Fake next = In();
  EXPECT_FALSE(next->Done()) << "the change was reported";
  dev().SetModemInputs(0x0A);
  EXPECT_FALSE(next->Done()) << "setting the same inputs is no change";
  dev().SetModemInputs(0x00);
  EXPECT_EQ(next->Data(), (Bytes{0x00, 0x00}));
}

TEST_F(BulkIn, PendingTransferIsFinishedWhenCharactersArrive) {
  Make();  // 9600 8N1: 1.0417 ms a character
  Fake t = In();
  dev().ReceiveFromLine(Chars("Q"));
  EXPECT_FALSE(t->Done()) << "the character is still on the line";
  AdvanceUs(1041);
  EXPECT_FALSE(t->Done());
  AdvanceUs(1);
  ASSERT_TRUE(t->Done());
  EXPECT_EQ(t->Data(), (Bytes{0x20, 'Q'}));
  EXPECT_EQ(t->CompletedAt(), 10417);
}

TEST_F(BulkIn, EveryHeaderCarriesTheInputsAtSendingTimeSoTheLastOneIsTheNewest) {
  Unthrottled();
  dev().ReceiveFromLine(Chars("xy"));  // arrived with no inputs on
  dev().SetModemInputs(0x08);
  EXPECT_EQ(In()->Data(), (Bytes{0x28, 'x', 0x28, 'y'})) << "no stale header, no separate status unit";
  dev().ReceiveFromLine(Chars(std::string(40, 'k')));
  Fake first = In();
  dev().SetModemInputs(0x01);
  Fake second = In();
  Bytes a = first->Data(), b = second->Data();
  ASSERT_EQ(a.size(), 64u);
  ASSERT_EQ(b.size(), 16u);
  for (size_t i = 0; i < a.size(); i += 2) EXPECT_EQ(a[i], 0x28);
  for (size_t i = 0; i < b.size(); i += 2) EXPECT_EQ(b[i], 0x21) << "the rest carries the change";
  EXPECT_FALSE(In()->Done()) << "the change travelled with the characters: no status unit after them";
}

TEST_F(BulkIn, PacketsAreWholeUnitsOfAtMost64BytesAndOfTheTransferLength) {
  Unthrottled();
  dev().ReceiveFromLine(Chars(std::string(100, 'm')));
  struct Case {
    ULONG Length;
    size_t Expected;
  } cases[] = {{128, 64}, {64, 64}, {10, 10}, {7, 6}, {3, 2}, {2, 2}};
  size_t taken = 0;
  for (const Case& c : cases) {
    Fake t = In(c.Length);
    EXPECT_EQ(t->Data().size(), c.Expected) << "transfer of " << c.Length;
    taken += c.Expected / 2;
  }
  EXPECT_EQ(dev().ReceivedWaiting(), 100 - taken);
  EXPECT_TRUE(dev().Violations().empty());
}

TEST_F(BulkIn, TransferTooShortForAUnitFinishesEmptyAndIsNoted) {
  Unthrottled();
  dev().ReceiveFromLine(Chars("z"));
  Fake t = In(1);
  ASSERT_TRUE(t->Done());
  EXPECT_TRUE(t->Data().empty());
  ASSERT_EQ(dev().Faults().size(), 1u);
  EXPECT_EQ(dev().Faults()[0].Kind, ViolationKind::ShortBulkIn);
  EXPECT_EQ(Drain(), "z") << "the character waits for a proper transfer";
  // Planted on purpose.
  ExpectProtocolFault(adapter::ViolationKind::ShortBulkIn);
}

TEST_F(BulkIn, FullReceiveFifoKeepsTheOldestAndCountsTheLost) {
  adapter::AdapterOptions options;
  options.Unthrottled = true;
  options.RxFifoChars = 8;
  Make(options);
  dev().ReceiveFromLine(Chars("0123456789AB"));
  EXPECT_EQ(dev().ReceivedWaiting(), 8u);
  EXPECT_EQ(dev().ReceiveOverflows(), 4u);
  EXPECT_EQ(Drain(), "01234567");
  dev().ReceiveFromLine(Chars("C"));
  EXPECT_EQ(Drain(), "C");
  EXPECT_EQ(dev().ReceiveOverflows(), 4u);
}

TEST_F(BulkIn, CancelledTransferTakesNothingWithIt) {
  Unthrottled();
  Fake t = In();
  t->Cancel();
  dev().Cancelled(t);
  EXPECT_EQ(dev().PendingTransfers(adapter::kDataInEndpoint), 0u);
  dev().ReceiveFromLine(Chars("hi"));
  EXPECT_FALSE(t->Done());
  EXPECT_EQ(Drain(), "hi");
}

TEST_F(BulkIn, PacketWhoseTransferWasCancelledUnderTheAdapterGoesBackInOrder) {
  Unthrottled();
  dev().SetModemInputs(0x01);
  Fake raced = In();  // a status unit finishes it at once; cancel the next one before the bus can
  ASSERT_TRUE(raced->Done());
  Fake gone = std::make_shared<FakeTransfer>(adapter::kDataInEndpoint, 64);
  gone->Cancel();  // the cancel won the race, but the bus has not called Cancelled() yet
  dev().Submit(gone);
  dev().ReceiveFromLine(Chars("abc"));
  EXPECT_FALSE(gone->Done());
  dev().Cancelled(gone);
  dev().SetModemInputs(0x03);
  Fake t = In();
  EXPECT_EQ(t->Data(), (Bytes{0x23, 'a', 0x23, 'b', 0x23, 'c'}));
  EXPECT_FALSE(In()->Done()) << "nothing was sent twice";
}

TEST_F(BulkIn, PacketCancelledAfterTheAdapterFinishedItComesBack) {
  Unthrottled();
  Fake t = In();
  dev().ReceiveFromLine(Chars("abc"));
  ASSERT_TRUE(t->Done());
  // A bus pacing completions to USB frames takes the packet now and hands it over at the next
  // frame; a cancel before then means the host never saw it, and the bus says so.
  dev().Cancelled(t);
  dev().ReceiveFromLine(Chars("d"));
  EXPECT_EQ(Drain(), "abcd");
  dev().Cancelled(t);
  EXPECT_EQ(Drain(), "") << "taken back once only";
}

TEST_F(BulkIn, StatusUnitLostToACancelIsSentAgain) {
  Unthrottled();
  Fake gone = std::make_shared<FakeTransfer>(adapter::kDataInEndpoint, 64);
  gone->Cancel();
  dev().Submit(gone);
  dev().SetModemInputs(0x04);
  dev().Cancelled(gone);
  EXPECT_EQ(In()->Data(), (Bytes{0x04, 0x00}));
}

}  // namespace
}  // namespace hk::test
